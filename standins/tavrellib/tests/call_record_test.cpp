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

TEST_F(CallRecordTest, RefusalsAndReset) {
    EXPECT_EQ(TavrelStandin_LastCallArgumentCount("KTNoSuchFunction"), -1);
    EXPECT_EQ(TavrelStandin_LastCallIsNull(nullptr, 0), -1);
    EXPECT_EQ(TavrelStandin_SetNullOutput("KTNoSuchFunction", 0), -1);
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
