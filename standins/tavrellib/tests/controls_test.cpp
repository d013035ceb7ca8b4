// Test controls (faults, delays, counts, trace, counters), error texts and the
// handling of null arguments.
#include <dlfcn.h>

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <thread>

#include "standin_fixture.h"

namespace standin_test {
namespace {

using ControlsTest = StandinTest;

// A function without behaviour, called by name: it takes no arguments here.
DWORD show_certificates() {
    auto fn = reinterpret_cast<DWORD (*)()>(dlsym(RTLD_DEFAULT, "KTShowCertificates"));
    return fn ? fn() : 0;
}

DWORD create_and_free() {
    PVOID context = nullptr;
    DWORD status = KTCtxCreate(&context);
    if (status == 0) KTCtxFree(context);
    else EXPECT_EQ(context, nullptr);
    return status;
}

TEST_F(ControlsTest, FaultAfterSomeCalls) {
    ASSERT_EQ(TavrelStandin_SetFault("KTCtxCreate", 6, 2), 0);
    EXPECT_EQ(create_and_free(), 0u);
    EXPECT_EQ(create_and_free(), 0u);
    EXPECT_EQ(create_and_free(), 6u);
    EXPECT_EQ(create_and_free(), 6u);
    TavrelStandin_ClearFaults();
    EXPECT_EQ(create_and_free(), 0u);
    EXPECT_EQ(TavrelStandin_CallCount("KTCtxCreate"), 5u);
    EXPECT_EQ(TavrelStandin_CallCount("KTCtxFree"), 3u);
}

TEST_F(ControlsTest, FaultRefusals) {
    EXPECT_EQ(TavrelStandin_SetFault("KTNoSuchFunction", 6, 0), -1);
    EXPECT_EQ(TavrelStandin_SetFault("KTFinalize", 6, 0), -1);  // returns no status
    EXPECT_EQ(TavrelStandin_SetFault(nullptr, 6, 0), -1);
    EXPECT_EQ(TavrelStandin_SetDelay("KTNoSuchFunction", 1), -1);
}

TEST_F(ControlsTest, FaultedCallFillsNothing) {
    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    ASSERT_EQ(TavrelStandin_SetFault("KTCtxSignData", 18, 0), 0);
    unsigned char data[4] = {1, 2, 3, 4};
    unsigned char *signature = nullptr;
    DWORD size = 77;
    EXPECT_EQ(KTCtxSignData(f.key, 1, data, 4, 1, 0, &signature, &size), 18u);
    EXPECT_EQ(signature, nullptr);
    EXPECT_EQ(size, 77u);
}

class EnvironmentTest : public StandinTest {
  protected:
    bool initialise() override { return false; }
    void TearDown() override {
        for (const char *name : {"TAVREL_STANDIN_FAULTS", "TAVREL_STANDIN_DELAYS", "TAVREL_STANDIN_LONG_SIGNATURES",
                                 "TAVREL_STANDIN_WRITE_PAUSE"})
            unsetenv(name);
        StandinTest::TearDown();
    }
};

TEST_F(EnvironmentTest, FaultsFromTheEnvironmentSurviveReinitialisation) {
    setenv("TAVREL_STANDIN_FAULTS", "KTCtxCreate=0x6@1,KTEnumKeyMediaTypes=18", 1);
    ASSERT_EQ(KTInitialize(), 0u);
    char text[272];
    EXPECT_EQ(KTEnumKeyMediaTypes(0, text), 18u);
    EXPECT_EQ(create_and_free(), 0u);
    KTFinalize();
    ASSERT_EQ(KTInitialize(), 0u);  // same text: the count goes on
    EXPECT_EQ(create_and_free(), 6u);
}

TEST_F(EnvironmentTest, InitializeItselfCanFail) {
    setenv("TAVREL_STANDIN_FAULTS", "KTInitialize=6", 1);
    EXPECT_EQ(KTInitialize(), 6u);
    EXPECT_EQ(KTIsInitialized(), 0);
    unsetenv("TAVREL_STANDIN_FAULTS");
    TavrelStandin_ClearFaults();
    EXPECT_EQ(KTInitialize(), 0u);
}

TEST_F(EnvironmentTest, MalformedVariablesAreRefused) {
    for (const char *faults : {"KTCtxCreate", "KTCtxCreate=x", "KTNope=6", "KTFinalize=6", "KTCtxCreate=6@"}) {
        setenv("TAVREL_STANDIN_FAULTS", faults, 1);
        EXPECT_EQ(KTInitialize(), TAVREL_STANDIN_ERROR_CONTROL) << faults;
    }
    unsetenv("TAVREL_STANDIN_FAULTS");
    setenv("TAVREL_STANDIN_DELAYS", "KTCtxCreate=5@1", 1);
    EXPECT_EQ(KTInitialize(), TAVREL_STANDIN_ERROR_CONTROL);
    unsetenv("TAVREL_STANDIN_DELAYS");
    setenv("TAVREL_STANDIN_LONG_SIGNATURES", "yes", 1);
    EXPECT_EQ(KTInitialize(), TAVREL_STANDIN_ERROR_CONTROL);
    unsetenv("TAVREL_STANDIN_LONG_SIGNATURES");
    setenv("TAVREL_STANDIN_WRITE_PAUSE", "-5", 1);
    EXPECT_EQ(KTInitialize(), TAVREL_STANDIN_ERROR_CONTROL);
    unsetenv("TAVREL_STANDIN_WRITE_PAUSE");
    EXPECT_EQ(KTInitialize(), 0u);
}

// A signature file stays half written for the pause, with a trace line to wait for.
TEST_F(EnvironmentTest, WritePauseHoldsAFileHalfWritten) {
    setenv("TAVREL_STANDIN_WRITE_PAUSE", "400", 1);
    const std::string trace = dir + "/trace.log", data = dir + "/data", signature = dir + "/data.p7s";
    TavrelStandin_SetTracePath(trace.c_str());
    write_text(data, "operator data");
    ASSERT_EQ(KTInitialize(), 0u);
    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    std::string dataName = data, signatureName = signature;
    DWORD status = 1;
    std::thread signer([&] { status = KTCtxSignFile(f.key, 1, &dataName[0], 1, 1, &signatureName[0]); });
    const std::string line = "half-written " + signature + "\n";
    for (int i = 0; i < 200 && read_text(trace).find(line) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    struct stat half {};
    EXPECT_EQ(::stat(signature.c_str(), &half), 0);
    signer.join();
    ASSERT_EQ(status, 0u);
    const std::string whole = read_text(signature);
    EXPECT_EQ(static_cast<size_t>(half.st_size), whole.size() / 2);
    EXPECT_EQ(verify("operator data", bytes(whole.begin(), whole.end()), bytes()), 0u);
    TavrelStandin_SetTracePath(nullptr);
}

TEST_F(EnvironmentTest, DelaysAndLongSignaturesFromTheEnvironment) {
    setenv("TAVREL_STANDIN_DELAYS", "KTCtxCreate=60", 1);
    setenv("TAVREL_STANDIN_LONG_SIGNATURES", "1", 1);
    ASSERT_EQ(KTInitialize(), 0u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(create_and_free(), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    EXPECT_GT(sign(f.key, "data").size(), 4096u);
}

TEST_F(ControlsTest, DelayInProcess) {
    ASSERT_EQ(TavrelStandin_SetDelay("KTCtxCreate", 50), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(create_and_free(), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    TavrelStandin_ClearDelays();
}

TEST_F(ControlsTest, TraceHasOneLinePerCallAndTheCountersAtFinalize) {
    std::string trace = dir + "/trace.log";
    TavrelStandin_SetTracePath(trace.c_str());
    EXPECT_EQ(create_and_free(), 0u);
    show_certificates();  // a function without behaviour is traced too
    PVOID context = nullptr;
    ASSERT_EQ(KTCtxCreate(&context), 0u);
    KTFinalize();
    KTCtxFree(context);
    KTFinalize();
    EXPECT_EQ(read_text(trace),
              "KTCtxCreate\nKTCtxFree\nKTShowCertificates\nKTCtxCreate\nKTFinalize\n"
              "outstanding buffers=0 records=0 contexts=1 private-keys=0 violations=0\n"
              "KTCtxFree\nKTFinalize\n"
              "outstanding buffers=0 records=0 contexts=0 private-keys=0 violations=0\n");
}

TEST_F(ControlsTest, CountersFollowWhatIsOutstanding) {
    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    TavrelStandinCounters c = TavrelStandin_GetCounters();
    EXPECT_EQ(c.contexts, 1u);
    EXPECT_EQ(c.privateKeys, 1u);
    PKT_CERT_INFO_EX info = nullptr;
    unsigned char *cert = nullptr;
    DWORD size = 0;
    ASSERT_EQ(KTCtxGetOwnCertificate(f.key, 1, 1, &info, &cert, &size), 0u);
    c = TavrelStandin_GetCounters();
    EXPECT_EQ(c.buffers, 1u);
    EXPECT_EQ(c.records, 1u);
    KTFreeMemory(cert);
    KTFreeMemory(cert);  // a second release of the same buffer is ignored
    KTFreeCertificateInfoEx(info);
    c = TavrelStandin_GetCounters();
    EXPECT_EQ(c.buffers, 0u);
    EXPECT_EQ(c.records, 0u);
    EXPECT_EQ(c.violations, 0u);
}

TEST_F(ControlsTest, ContextFreedBeforeItsKeyIsAViolation) {
    std::string trace = dir + "/trace.log";
    TavrelStandin_SetTracePath(trace.c_str());
    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    KTCtxFree(f.context);
    f.context = nullptr;
    EXPECT_EQ(TavrelStandin_GetCounters().violations, 1u);
    EXPECT_NE(read_text(trace).find("violation KTCtxFree: context freed with 1 live private key(s)\n"),
              std::string::npos);
    // The key still works and is released normally.
    EXPECT_FALSE(sign(f.key, "x").empty());
    KTCtxFreePrivateKey(f.key);
    f.key = nullptr;
    EXPECT_EQ(TavrelStandin_GetCounters().privateKeys, 0u);
    EXPECT_EQ(TavrelStandin_GetCounters().violations, 1u);
}

TEST_F(ControlsTest, ReleaseFunctionsTolerateZeroedAndForeignRecords) {
    KT_CERT_OWNER_INFO owner{};
    KT_SIGN_INFO sign_info{};
    KT_CERT_INFO cert_info{};
    KT_CR_INFO cr_info{};
    KTFreeCertOwnerInfo(&owner);
    KTCtxFreeCertOwnerInfo(nullptr, &owner);
    KTFreeSignInfo(&sign_info);
    KTFreeSenderInfo(&sign_info);
    KTFreeCertificateInfo(&cert_info);
    KTFreeCRInfo(&cr_info);
    // Filled by someone else: not the library's to free.
    char text[] = "mine";
    sign_info.bFilled = 1;
    sign_info.pszIssuer = text;
    KTFreeSignInfo(&sign_info);
    EXPECT_EQ(field(sign_info.pszIssuer), text);
    KTFreeCertificateInfoEx(nullptr);
    KTFreeMemory(nullptr);
    KTFreeCertificatesArray(0, nullptr, nullptr);
    KTFreeCertOwnerInfo(nullptr);
    KTFreeSignInfo(nullptr);
}

TEST_F(ControlsTest, NullArgumentsGiveBadParameter) {
    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    KT_KEY_MEDIA m = media(0, 0, "pass-0");
    PVOID out = nullptr;
    BOOL b = 0;
    unsigned char data[1] = {0};
    unsigned char *buffer = nullptr;
    DWORD size = 0;
    char name[] = "x";
    const std::vector<std::pair<const char *, std::function<DWORD()>>> calls = {
        {"EnumTypes", [&] { return KTEnumKeyMediaTypes(0, nullptr); }},
        {"EnumDevices", [&] { return KTEnumKeyMediaDevices(0, 0, nullptr); }},
        {"ExistsMedia", [&] { return KTIsPrivateKeyExists(nullptr, &b); }},
        {"ExistsResult", [&] { return KTIsPrivateKeyExists(&m, nullptr); }},
        {"Destroy", [&] { return KTDestroyPrivateKey(nullptr); }},
        {"CtxCreate", [&] { return KTCtxCreate(nullptr); }},
        {"ReadContext", [&] { return KTCtxReadPrivateKey(nullptr, &m, &out, nullptr); }},
        {"ReadMedia", [&] { return KTCtxReadPrivateKey(f.context, nullptr, &out, nullptr); }},
        {"ReadKey", [&] { return KTCtxReadPrivateKey(f.context, &m, nullptr, nullptr); }},
        {"ReadFileName", [&] { return KTCtxReadPrivateKeyFile(f.context, nullptr, name, &out, nullptr); }},
        {"ReadFilePassword", [&] { return KTCtxReadPrivateKeyFile(f.context, name, nullptr, &out, nullptr); }},
        {"OwnCertKey", [&] { return KTCtxGetOwnCertificate(nullptr, 1, 1, nullptr, &buffer, &size); }},
        {"OwnCertSize", [&] { return KTCtxGetOwnCertificate(f.key, 1, 1, nullptr, &buffer, nullptr); }},
        {"SignKey", [&] { return KTCtxSignData(nullptr, 1, data, 1, 1, 0, &buffer, &size); }},
        {"SignData", [&] { return KTCtxSignData(f.key, 1, nullptr, 1, 1, 0, &buffer, &size); }},
        {"SignOut", [&] { return KTCtxSignData(f.key, 1, data, 1, 1, 0, nullptr, &size); }},
        {"SignFileName", [&] { return KTCtxSignFile(f.key, 1, nullptr, 1, 0, name); }},
        {"SignFileOut", [&] { return KTCtxSignFile(f.key, 1, name, 1, 0, nullptr); }},
        {"HashContext", [&] { return KTCtxHashData(nullptr, 4, nullptr, 0, data, 1, &buffer, &size); }},
        {"HashData", [&] { return KTCtxHashData(f.context, 4, nullptr, 0, nullptr, 1, &buffer, &size); }},
        {"HashOut", [&] { return KTCtxHashData(f.context, 4, nullptr, 0, data, 1, nullptr, &size); }},
        {"VerifySign", [&] {
             return KTVerifyDataWithParams(data, 1, 0, nullptr, nullptr, 1, 0, nullptr, 0, data, 1, 0, nullptr);
         }},
        {"VerifyTime", [&] {
             return KTVerifyDataWithParams(data, 1, 0, nullptr, data, 1, 1, nullptr, 0, data, 1, 0, nullptr);
         }},
        {"Generate", [&] {
             return KTGeneratePrivateKeyEx(nullptr, 1, 1, 2, 2, nullptr, 0, 2, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, &buffer, nullptr, name, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr);
         }},
    };
    for (const auto &[label, call] : calls) EXPECT_EQ(call(), KT_ERROR_BAD_PARAMETER) << label;
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ControlsTest, ErrorTexts) {
    const DWORD codes[] = {0, 2, 6, 7, 18, 0xF001, 0xF002, 0xF003, 0xF004, 0xF005, 0xF006, 0xF007, 0xF008, 0xF009,
                           12345};
    for (DWORD code : codes) {
        for (DWORD language : {0ul, 1ul, 2ul, 3ul}) {
            const char *text = KTGetErrorLangDesc(code, language);
            ASSERT_NE(text, nullptr);
            size_t length = std::strlen(text);
            EXPECT_GT(length, 0u);
            EXPECT_LT(length, 1025u);
            bool cyrillic = false, undefined = false;
            for (const char *p = text; *p; ++p) {
                unsigned char c = static_cast<unsigned char>(*p);
                cyrillic |= c >= 0xC0;
                undefined |= c == 0x98;
            }
            EXPECT_EQ(cyrillic, language != 3) << code << " " << language;
            EXPECT_FALSE(undefined);
        }
        EXPECT_STREQ(KTGetErrorDesc(code), KTGetErrorLangDesc(code, 0));
    }
    EXPECT_STREQ(KTGetErrorLangDesc(18, 3), "Key media access failed");
    EXPECT_STREQ(KTGetErrorLangDesc(99999, 3), "Unknown error");
    EXPECT_STREQ(KTGetErrorDesc(2), "\xCD\xE5\xE2\xB3\xF0\xED\xE8\xE9 \xEF\xE0\xF0\xE0\xEC\xE5\xF2\xF0");
    EXPECT_STRNE(KTGetErrorLangDesc(0xF001, 3), KTGetErrorLangDesc(0xF002, 3));
    // Texts work before initialisation too.
    KTFinalize();
    EXPECT_STREQ(KTGetErrorLangDesc(7, 3), "No more items");
}

TEST_F(ControlsTest, FunctionsWithoutBehaviourAnswerNotSupported) {
    EXPECT_EQ(show_certificates(), TAVREL_STANDIN_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(TavrelStandin_CallCount("KTShowCertificates"), 1u);
}

}  // namespace
}  // namespace standin_test
