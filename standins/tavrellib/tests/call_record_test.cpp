// The record of what a function was handed, and the requests for its next call.
#include "standin_fixture.h"

namespace standin_test {
namespace {

using CallRecordTest = StandinTest;

std::string last_bytes(const char *function, unsigned index) {
    long size = TavrelStandin_LastCallBytes(function, index, nullptr, 0);
    if (size < 0) return "<none>";
    std::string out(size_t(size), '\0');
    EXPECT_EQ(TavrelStandin_LastCallBytes(function, index, out.data(), out.size()), size);
    return out;
}

DWORD hash(unsigned char *data, DWORD size, char **text, unsigned char **binary, DWORD *length) {
    return KTHashData(data, size, text, binary, length);
}

TEST_F(CallRecordTest, RecordsWhatTheCallWasGiven) {
    EXPECT_EQ(TavrelStandin_LastCallArgumentCount("KTHashData"), -1);
    unsigned char data[] = {'a', 'b', 0, 'c', 0};
    char *text = nullptr;
    DWORD length = 0;
    ASSERT_EQ(hash(data, 4, &text, nullptr, &length), 0u);
    KTFreeMemory(reinterpret_cast<unsigned char *>(text));

    EXPECT_EQ(TavrelStandin_LastCallArgumentCount("KTHashData"), 5);
    EXPECT_EQ(last_bytes("KTHashData", 0), std::string("ab\0c", 4));  // exactly the given length
    unsigned long long number = 0;
    EXPECT_EQ(TavrelStandin_LastCallNumber("KTHashData", 1, &number), 0);
    EXPECT_EQ(number, 4u);
    EXPECT_EQ(TavrelStandin_LastCallNumber("KTHashData", 0, &number), -1);  // a pointer
    struct {
        unsigned index;
        int is_null;
    } const pointers[] = {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {4, 0}, {5, -1}};
    for (const auto &p : pointers) EXPECT_EQ(TavrelStandin_LastCallIsNull("KTHashData", p.index), p.is_null) << p.index;

    // A room smaller than the bytes: cut copy, full size.
    char two[2] = {};
    EXPECT_EQ(TavrelStandin_LastCallBytes("KTHashData", 0, two, sizeof two), 4);
    EXPECT_EQ(std::string(two, 2), "ab");
    EXPECT_EQ(last_bytes("KTHashData", 1), "<none>");
}

TEST_F(CallRecordTest, TextsAndForcedStatusesAreRecorded) {
    ASSERT_EQ(TavrelStandin_SetFault("KTHashFile", 6, 0), 0);
    char name[] = "/no/such/file";
    DWORD length = 0;
    EXPECT_EQ(KTHashFile(name, nullptr, nullptr, &length), 6u);
    EXPECT_EQ(last_bytes("KTHashFile", 0), "/no/such/file");
    EXPECT_EQ(TavrelStandin_LastCallIsNull("KTHashFile", 1), 1);

    TavrelStandin_ClearFaults();
    EXPECT_EQ(KTHashFile(nullptr, nullptr, nullptr, &length), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(TavrelStandin_LastCallIsNull("KTHashFile", 0), 1);
    EXPECT_EQ(last_bytes("KTHashFile", 0), "<none>");
}

TEST_F(CallRecordTest, NullOutputForTheNextCallOnly) {
    unsigned char data[] = "abc";
    ASSERT_EQ(TavrelStandin_SetNullOutput("KTHashData", 3), 0);
    char *text = nullptr;
    unsigned char *binary = nullptr;
    DWORD length = 0;
    ASSERT_EQ(hash(data, 3, &text, &binary, &length), 0u);
    EXPECT_NE(text, nullptr);
    EXPECT_EQ(binary, nullptr);
    EXPECT_EQ(length, 32u);  // the length is still returned
    KTFreeMemory(reinterpret_cast<unsigned char *>(text));

    ASSERT_EQ(hash(data, 3, nullptr, &binary, &length), 0u);
    EXPECT_NE(binary, nullptr);
    KTFreeMemory(binary);
}

TEST_F(CallRecordTest, LentTextIsWrittenBeforeTheBufferIsRead) {
    std::string path = dir + "/data";
    write_text(path, "abc");
    ASSERT_EQ(TavrelStandin_SetLentText("KTHashFile", 0, path.data(), path.size()), 0);
    char lent[1153] = {};
    unsigned char *binary = nullptr;
    DWORD length = 0;
    ASSERT_EQ(KTHashFile(lent, nullptr, &binary, &length), 0u);
    EXPECT_EQ(std::string(lent), path);
    EXPECT_EQ(last_bytes("KTHashFile", 0), "");  // what the caller lent: an empty text
    KTFreeMemory(binary);

    std::string odd("\x98 and more", 10);
    ASSERT_EQ(TavrelStandin_SetLentText("KTHashFile", 0, odd.data(), odd.size()), 0);
    std::memset(lent, 0, sizeof lent);
    EXPECT_EQ(KTHashFile(lent, nullptr, nullptr, &length), TAVREL_STANDIN_ERROR_FILE);
    EXPECT_EQ(std::string(lent), odd);
}

TEST_F(CallRecordTest, LateStatusHandsOutEveryOutputFirst) {
    unsigned char data[] = "abc";
    ASSERT_EQ(TavrelStandin_SetLateStatus("KTHashData", 0xF00D), 0);
    char *text = nullptr;
    unsigned char *binary = nullptr;
    DWORD length = 0;
    ASSERT_EQ(hash(data, 3, &text, &binary, &length), 0xF00Du);
    EXPECT_NE(text, nullptr);
    EXPECT_NE(binary, nullptr);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(TavrelStandin_GetCounters().buffers, 2u);
    KTFreeMemory(reinterpret_cast<unsigned char *>(text));
    KTFreeMemory(binary);
    EXPECT_EQ(hash(data, 3, nullptr, nullptr, &length), 0u);  // the next call only
}

TEST_F(CallRecordTest, OutputLengthForTheNextCallOnly) {
    unsigned char data[] = "abc";
    ASSERT_EQ(TavrelStandin_SetOutputLength("KTHashData", 3, 1ULL << 63), 0);
    unsigned char *binary = nullptr;
    DWORD length = 0;
    ASSERT_EQ(hash(data, 3, nullptr, &binary, &length), 0u);
    EXPECT_EQ(length, 1UL << 63);
    KTFreeMemory(binary);
    ASSERT_EQ(hash(data, 3, nullptr, &binary, &length), 0u);
    EXPECT_EQ(length, 32u);
    KTFreeMemory(binary);
}

TEST_F(CallRecordTest, ReleaseTraceNumbersTheBuffers) {
    std::string trace = dir + "/trace.log";
    TavrelStandin_SetTracePath(trace.c_str());
    unsigned char data[] = "abc";
    char *text = nullptr;
    unsigned char *binary = nullptr;
    DWORD length = 0;
    ASSERT_EQ(hash(data, 3, &text, &binary, &length), 0u);
    KTFreeMemory(binary);  // untraced: the switch is off
    TavrelStandin_SetReleaseTrace(1);
    KTFreeMemory(reinterpret_cast<unsigned char *>(text));
    KTFreeMemory(binary);  // no longer the library's: nothing released
    ASSERT_EQ(hash(data, 3, nullptr, &binary, &length), 0u);
    KTFreeMemory(binary);
    TavrelStandin_SetReleaseTrace(0);
    TavrelStandin_SetTracePath(nullptr);
    std::string lines = read_text(trace);
    const std::string mark = "released buffer ";
    size_t at = lines.find(mark);
    ASSERT_NE(at, std::string::npos);
    unsigned long text_number = std::stoul(lines.substr(at + mark.size()));
    EXPECT_EQ(lines, "KTHashData\nKTFreeMemory\nKTFreeMemory\n" + mark + std::to_string(text_number) +
                         "\nKTFreeMemory\nKTHashData\nKTFreeMemory\n" + mark + std::to_string(text_number + 2) + "\n");
}

TEST_F(CallRecordTest, RefusalsAndReset) {
    EXPECT_EQ(TavrelStandin_LastCallArgumentCount("KTNoSuchFunction"), -1);
    EXPECT_EQ(TavrelStandin_LastCallIsNull(nullptr, 0), -1);
    EXPECT_EQ(TavrelStandin_SetNullOutput("KTNoSuchFunction", 0), -1);
    EXPECT_EQ(TavrelStandin_SetOutputLength("KTNoSuchFunction", 0, 1), -1);
    EXPECT_EQ(TavrelStandin_SetLateStatus(nullptr, 6), -1);
    EXPECT_EQ(TavrelStandin_SetLentText("KTHashFile", 0, nullptr, 3), -1);
    std::string long_text(1153, 'x');
    EXPECT_EQ(TavrelStandin_SetLentText("KTHashFile", 0, long_text.data(), long_text.size()), -1);

    unsigned char data[] = "abc";
    DWORD length = 0;
    ASSERT_EQ(hash(data, 3, nullptr, nullptr, &length), 0u);
    ASSERT_EQ(TavrelStandin_SetNullOutput("KTHashData", 3), 0);
    TavrelStandin_Reset();
    EXPECT_EQ(TavrelStandin_LastCallArgumentCount("KTHashData"), -1);
    unsigned char *binary = nullptr;
    ASSERT_EQ(hash(data, 3, nullptr, &binary, &length), 0u);
    EXPECT_NE(binary, nullptr);  // the request went with the reset
    KTFreeMemory(binary);
}

}  // namespace
}  // namespace standin_test
