// Library lifecycle and the world file: initialisation, persistence across
// finalisation and processes, atomic rewrite, broken worlds; files that are refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>

#include "standin_fixture.h"

namespace standin_test {
namespace {

// Runs the probe program against `world`, with more environment settings; returns
// what it printed.
std::string probe(const std::string &world, const std::string &args, const std::string &env = "") {
    std::string command = "TAVREL_STANDIN_WORLD='" + world + "' " + env + " " STANDIN_PROBE " " + args;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return "popen failed";
    std::string out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
    int rc = pclose(pipe);
    return rc == 0 ? out : out + " (exit " + std::to_string(rc) + ")";
}

using LifecycleTest = StandinTest;

TEST_F(LifecycleTest, InitializeTwiceAndAgainAfterFinalize) {
    EXPECT_EQ(KTIsInitialized(), 1);
    EXPECT_EQ(KTInitialize(), 0u);
    KTFinalize();
    EXPECT_EQ(KTIsInitialized(), 0);
    char name[272];
    EXPECT_EQ(KTEnumKeyMediaTypes(0, name), TAVREL_STANDIN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(KTInitialize(), 0u);
    EXPECT_EQ(KTEnumKeyMediaTypes(0, name), 0u);
}

TEST_F(LifecycleTest, CallsBeforeInitializeAreRefused) {
    KTFinalize();
    KT_KEY_MEDIA m = media(0, 0, "pass-0");
    BOOL exists = 0;
    PVOID context = nullptr;
    char text[272];
    EXPECT_EQ(KTEnumKeyMediaTypes(0, text), TAVREL_STANDIN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(KTEnumKeyMediaDevices(0, 0, text), TAVREL_STANDIN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(KTIsPrivateKeyExists(&m, &exists), TAVREL_STANDIN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(KTDestroyPrivateKey(&m), TAVREL_STANDIN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(KTCtxCreate(&context), TAVREL_STANDIN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(context, nullptr);
}

TEST_F(LifecycleTest, KeysMadeOnLoadArePersisted) {
    std::string text = read_text(world_path);
    EXPECT_EQ(text.find("\"generate\""), std::string::npos);
    EXPECT_NE(text.find("BEGIN CERTIFICATE"), std::string::npos);
    // The same keys after a reload: the certificate does not change.
    key_fixture before;
    read_key(before, 0, 1, "pass-1");
    bytes cert = certificate(before.key);
    KTFinalize();
    ASSERT_EQ(KTInitialize(), 0u);
    key_fixture after;
    read_key(after, 0, 1, "pass-1");
    EXPECT_EQ(certificate(after.key), cert);
}

TEST_F(LifecycleTest, ChangesPersistAcrossFinalizeAndProcesses) {
    KT_KEY_MEDIA m = media(0, 1, "pass-1");
    ASSERT_EQ(KTDestroyPrivateKey(&m), 0u);
    KTFinalize();
    ASSERT_EQ(KTInitialize(), 0u);
    BOOL exists = 1;
    ASSERT_EQ(KTIsPrivateKeyExists(&m, &exists), 0u);
    EXPECT_EQ(exists, 0);

    // Another process sees the change and makes its own, which this one then sees.
    EXPECT_EQ(probe(world_path, "exists 0 1 pass-1"), "no\n");
    EXPECT_EQ(probe(world_path, "exists 0 0 pass-0"), "yes\n");
    std::string trace = dir + "/trace.log";
    EXPECT_EQ(probe(world_path, "destroy 0 0 pass-0", "TAVREL_STANDIN_TRACE='" + trace + "'"), "0\n");
    EXPECT_EQ(read_text(trace), "KTInitialize\nKTDestroyPrivateKey\nKTFinalize\n"
                                "outstanding buffers=0 records=0 contexts=0 private-keys=0 violations=0\n");
    EXPECT_EQ(probe(world_path, "exists 0 1 pass-1", "TAVREL_STANDIN_FAULTS=KTIsPrivateKeyExists=18"), "18\n");
    KTFinalize();
    ASSERT_EQ(KTInitialize(), 0u);
    KT_KEY_MEDIA first = media(0, 0, "pass-0");
    ASSERT_EQ(KTIsPrivateKeyExists(&first, &exists), 0u);
    EXPECT_EQ(exists, 0);
}

TEST_F(LifecycleTest, RewriteReplacesTheFileWhole) {
    struct stat before {};
    ASSERT_EQ(stat(world_path.c_str(), &before), 0);
    // A reader holding the old file keeps a complete old world.
    FILE *old = fopen(world_path.c_str(), "rb");
    ASSERT_NE(old, nullptr);
    std::string old_text = read_text(world_path);

    KT_KEY_MEDIA m = media(0, 1, "pass-1");
    ASSERT_EQ(KTDestroyPrivateKey(&m), 0u);

    struct stat after {};
    ASSERT_EQ(stat(world_path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);  // renamed into place, not rewritten in place
    std::string held;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, old)) > 0) held.append(buffer, n);
    fclose(old);
    EXPECT_EQ(held, old_text);
    // No temporary file is left beside it.
    std::string listing = "ls -A '" + dir + "' | grep -v '^world.json$' | wc -l";
    FILE *ls = popen(listing.c_str(), "r");
    ASSERT_NE(ls, nullptr);
    ASSERT_NE(fgets(buffer, sizeof buffer, ls), nullptr);
    pclose(ls);
    EXPECT_STREQ(buffer, "0\n");
}

// A writer ended by a signal before its rename leaves its temporary file; the next rewrite
// removes it, and keeps those that writers still running (this one included) may use.
TEST_F(LifecycleTest, RewriteRemovesTemporariesOfEndedWriters) {
    const pid_t ended = fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) _exit(0);
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    const std::string gone = std::to_string(ended), running = std::to_string(getppid());
    const struct {
        std::string name;
        bool stays;
    } files[] = {
        {"world.json.tmp." + gone + ".3", false},
        {"world.json.tmp." + running + ".1", true},
        {"world.json.tmp." + std::to_string(getpid()) + ".999", true},
        {"world.json.tmp." + gone + ".x", true},
        {"world.json.tmp." + gone, true},
        {"other.json.tmp." + gone + ".1", true},
    };
    for (const auto &f : files) write_text(dir + "/" + f.name, "{\"types\": [");

    KT_KEY_MEDIA m = media(0, 1, "pass-1");
    ASSERT_EQ(KTDestroyPrivateKey(&m), 0u);
    for (const auto &f : files) EXPECT_EQ(access((dir + "/" + f.name).c_str(), F_OK) == 0, f.stays) << f.name;
}

TEST_F(LifecycleTest, MissingWorldFileGetsTheBuiltInWorld) {
    KTFinalize();
    std::string fresh = dir + "/fresh.json";
    TavrelStandin_SetWorldPath(fresh.c_str());
    ASSERT_EQ(KTInitialize(), 0u);
    EXPECT_NE(read_text(fresh).find("VM1K-000101"), std::string::npos);
    char text[272];
    ASSERT_EQ(KTEnumKeyMediaTypes(1, text), 0u);
    EXPECT_EQ(std::string(text), accepted_type_cp1251);
    ASSERT_EQ(KTEnumKeyMediaDevices(1, 0, text), 0u);
    EXPECT_STREQ(text, "VM1K-000101");
    key_fixture f;
    read_key(f, 1, 0, "12345678");
    PKT_CERT_INFO_EX info = nullptr;
    ASSERT_EQ(KTCtxGetOwnCertificate(f.key, 1, 1, &info, nullptr, nullptr), 0u);
    EXPECT_EQ(info->stCertBeginTime.wYear, 2021);
    KTFreeCertificateInfoEx(info);
}

TEST_F(LifecycleTest, WorldFromTheEnvironment) {
    KTFinalize();
    TavrelStandin_SetWorldPath(nullptr);
    std::string other = dir + "/other.json";
    write_text(other, R"({"types": [{"name": "єдиний тип"}]})");
    setenv("TAVREL_STANDIN_WORLD", other.c_str(), 1);
    DWORD status = KTInitialize();
    unsetenv("TAVREL_STANDIN_WORLD");
    ASSERT_EQ(status, 0u);
    char text[272];
    EXPECT_EQ(KTEnumKeyMediaTypes(0, text), 0u);
    EXPECT_EQ(KTEnumKeyMediaTypes(1, text), KT_ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(KTEnumKeyMediaDevices(0, 0, text), KT_ERROR_NO_MORE_ITEMS);
}

struct broken_world {
    const char *name;
    const char *json;  // null: the path is a folder
};

class BrokenWorldTest : public StandinTest, public ::testing::WithParamInterface<broken_world> {
  protected:
    bool initialise() override { return false; }
};

TEST_P(BrokenWorldTest, InitializeReportsTheWorldAndNothingCrashes) {
    if (GetParam().json) {
        write_text(world_path, GetParam().json);
    } else {
        ASSERT_EQ(std::remove(world_path.c_str()), 0);
        ASSERT_EQ(mkdir(world_path.c_str(), 0700), 0);
    }
    EXPECT_EQ(KTInitialize(), TAVREL_STANDIN_ERROR_WORLD);
    EXPECT_EQ(KTIsInitialized(), 0);
    // Calls that need the world report it too.
    char text[272];
    PVOID context = nullptr;
    EXPECT_EQ(KTEnumKeyMediaTypes(0, text), TAVREL_STANDIN_ERROR_WORLD);
    EXPECT_EQ(KTCtxCreate(&context), TAVREL_STANDIN_ERROR_WORLD);
    EXPECT_STRNE(KTGetErrorLangDesc(TAVREL_STANDIN_ERROR_WORLD, 3), KTGetErrorLangDesc(0xFFFFFF, 3));
}

INSTANTIATE_TEST_SUITE_P(
    Worlds, BrokenWorldTest,
    ::testing::Values(broken_world{"Folder", nullptr}, broken_world{"Empty", ""},
                      broken_world{"NotJson", "{\"types\": ["}, broken_world{"NoTypes", "{}"},
                      broken_world{"TypeWithoutName", R"({"types": [{"devices": []}]})"},
                      broken_world{"NameNotCp1251", R"({"types": [{"name": "日本"}]})"},
                      broken_world{"BadHex", R"({"types": [{"name-cp1251-hex": "zz"}]})"},
                      broken_world{"NoSerial", R"({"types": [{"name": "t", "devices": [{"password": "p"}]}]})"},
                      broken_world{"LongPassword", R"({"types": [{"name": "t", "devices": [{"serial": "s",
                          "password": "12345678901234567890123456789012345678901234567890123456789012345"}]}]})"},
                      broken_world{"BadKeyWord", R"({"types": [{"name": "t", "devices": [{"serial": "s",
                          "password": "p", "key": "make"}]}]})"},
                      broken_world{"BadPem", R"({"types": [{"name": "t", "devices": [{"serial": "s",
                          "password": "p", "key": {"private-key": "x", "certificate": "y"}}]}]})"},
                      broken_world{"BadTime", R"({"types": [{"name": "t", "devices": [{"serial": "s",
                          "password": "p", "validity": {"not-before": "2021-02-30T00:00:00"}}]}]})"}),
    [](const ::testing::TestParamInfo<broken_world> &info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, BrokenWorldRecoversOnceFixed) {
    KTFinalize();
    std::string good = read_text(world_path);
    write_text(world_path, "not json");
    EXPECT_EQ(KTInitialize(), TAVREL_STANDIN_ERROR_WORLD);
    write_text(world_path, good);
    EXPECT_EQ(KTInitialize(), 0u);
}

TEST_F(LifecycleTest, NonCp1251TypeNameIsReportedAsItsBytes) {
    KTFinalize();
    // 0x98 has no character in Windows-1251.
    write_text(world_path, R"({"types": [{"name-cp1251-hex": "e52eea98", "devices": [{"serial": "X", "password": ""}]}]})");
    ASSERT_EQ(KTInitialize(), 0u);
    char text[272];
    ASSERT_EQ(KTEnumKeyMediaTypes(0, text), 0u);
    EXPECT_STREQ(text, "\xE5.\xEA\x98");
    // Written back the same way.
    KT_KEY_MEDIA m = media(0, 0, "");
    ASSERT_EQ(KTGeneratePrivateKeyEx(&m, 1, 1, 2, 2, nullptr, 0, 2, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr),
              0u);
    EXPECT_NE(read_text(world_path).find("\"name-cp1251-hex\":\t\"e52eea98\""), std::string::npos);
}

TEST_F(LifecycleTest, WorldToolRefusesNamesThatAreNotHexadecimalPairs) {
    const std::string before = read_text(world_path);
    for (const char *name : {"e51z", "e5e", "zz", "0x"}) {
        const std::string command =
            std::string(STANDIN_WORLD_TOOL) + " add-type-hex '" + world_path + "' " + name + " 2>/dev/null";
        EXPECT_NE(std::system(command.c_str()), 0) << name;
    }
    EXPECT_TRUE(read_text(world_path) == before) << "the world file changed";
}

// Files no reader may take: made in the test's folder, or a device.
struct bad_file {
    const char *name;
    bool over_limit;  // a regular file, refused for its size
    std::function<std::string(const std::string &dir)> make;
};

void PrintTo(const bad_file &file, std::ostream *out) { *out << file.name; }

class RefusedFileTest : public StandinTest, public ::testing::WithParamInterface<bad_file> {
  protected:
    // Runs `call`; one still blocked after 5 s (opening a FIFO with no writer) is freed
    // by opening the FIFO's writing end, and fails the test.
    static DWORD without_blocking(const std::string &path, const std::function<DWORD()> &call) {
        std::future<DWORD> result = std::async(std::launch::async, call);
        if (result.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
            ADD_FAILURE() << "blocked on " << path;
            int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) close(fd);
        }
        return result.get();
    }
};

TEST_P(RefusedFileTest, EveryReaderRefusesAtOnce) {
    const std::string path = GetParam().make(dir);
    ASSERT_FALSE(path.empty());
    const DWORD file_status = GetParam().over_limit ? TAVREL_STANDIN_ERROR_FILE_TOO_LARGE : TAVREL_STANDIN_ERROR_FILE;
    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    std::string password = "pass", signature = dir + "/out.p7s";
    PVOID key = nullptr;
    const struct {
        const char *reader;
        DWORD status;
        std::function<DWORD()> call;
    } readers[] = {
        {"world", TAVREL_STANDIN_ERROR_WORLD,
         [&] {
             KTFinalize();
             TavrelStandin_SetWorldPath(path.c_str());
             DWORD status = KTInitialize();
             TavrelStandin_SetWorldPath(world_path.c_str());
             EXPECT_EQ(KTInitialize(), 0u);
             return status;
         }},
        {"KTReadPrivateKeyFile", file_status,
         [&] { return KTReadPrivateKeyFile(const_cast<char *>(path.c_str()), password.data(), nullptr); }},
        {"KTCtxReadPrivateKeyFile", file_status,
         [&] {
             return KTCtxReadPrivateKeyFile(f.context, const_cast<char *>(path.c_str()), password.data(), &key,
                                            nullptr);
         }},
        {"KTCtxSignFile", file_status,
         [&] {
             return KTCtxSignFile(f.key, KT_CTX_SIGN_DSTU4145_WITH_GOST34311, const_cast<char *>(path.c_str()), 1, 0,
                                  signature.data());
         }},
    };
    for (const auto &r : readers) EXPECT_EQ(without_blocking(path, r.call), r.status) << r.reader;
    EXPECT_EQ(key, nullptr);
    EXPECT_NE(access(signature.c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Refused, RefusedFileTest,
    ::testing::Values(
        bad_file{"Fifo", false,
                 [](const std::string &dir) -> std::string {
                     return mkfifo((dir + "/fifo").c_str(), 0600) == 0 ? dir + "/fifo" : "";
                 }},
        // A device that never ends (/dev/zero) is refused the same way, before any read.
        bad_file{"Device", false, [](const std::string &) { return std::string("/dev/null"); }},
        bad_file{"Folder", false,
                 [](const std::string &dir) -> std::string {
                     return mkdir((dir + "/sub").c_str(), 0700) == 0 ? dir + "/sub" : "";
                 }},
        bad_file{"OverLimit", true,
                 [](const std::string &dir) -> std::string {
                     const std::string path = dir + "/large.bin";  // sparse: nothing is written
                     write_text(path, "");
                     return truncate(path.c_str(), off_t(TAVREL_STANDIN_MAX_FILE_SIZE + 1)) == 0 ? path : "";
                 }}),
    [](const ::testing::TestParamInfo<bad_file> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace standin_test
