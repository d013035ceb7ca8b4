// A host drives libsignvek.so through its exports: lifecycle, signing through the
// request ring, hashing, the certificate, refusals and statistics.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kt_api.h"
#include "tavrel_standin.h"
#include "vek_host.h"
#include "vek_test_support.h"

using namespace vek_host;

namespace {

// Polls `done` for up to ten seconds.
bool eventually(const std::function<bool()> &done) {
    for (int i = 0; i < 1000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Level-1 and level-2 lines.
std::vector<std::string> failures(const log_tail &log) {
    std::vector<std::string> out;
    for (const std::string &b : log.briefs())
        if (b[0] == '1' || b[0] == '2') out.push_back(b);
    return out;
}

// The library's verdict on a detached signature of `data` against `cert`: 0 when it holds.
unsigned long verify(std::string data, std::string signature, std::string cert) {
    const auto bytes = [](std::string &s) { return reinterpret_cast<unsigned char *>(&s[0]); };
    return KTVerifyDataWithParams(bytes(data), static_cast<DWORD>(data.size()), 0, nullptr, bytes(signature),
                                  static_cast<DWORD>(signature.size()), 0, nullptr, 0, bytes(cert),
                                  static_cast<DWORD>(cert.size()), 0, nullptr);
}

// Lines whose "<level> <function> <text>" ends with `tail`.
size_t count_ending(const log_tail &log, const std::string &tail) {
    size_t n = 0;
    for (const std::string &b : log.briefs())
        n += b.size() >= tail.size() && b.compare(b.size() - tail.size(), tail.size(), tail) == 0;
    return n;
}

std::vector<long> ids(const std::vector<answer> &answers) {
    std::vector<long> out;
    for (const answer &a : answers) out.push_back(a.id);
    return out;
}

class Host : public ::testing::Test {
protected:
    void SetUp() override {
        TavrelStandin_Reset();
        TavrelStandin_SetWorldPath(dir.write("world.json", vek_test::default_world()).c_str());
        conf = dir.write("conf.json", vek_test::device_conf());
        recorder::instance().reset();
        p = &plugin();
    }

    void TearDown() override {
        p->Stop();
        p->Close();
        const TavrelStandinCounters c = TavrelStandin_GetCounters();
        EXPECT_EQ(0u, c.buffers + c.records + c.contexts + c.privateKeys + c.violations)
            << "buffers " << c.buffers << " records " << c.records << " contexts " << c.contexts << " keys "
            << c.privateKeys << " violations " << c.violations;
        TavrelStandin_Reset();
    }

    // Opens and starts on `conf`, waiting until the worker signs its first request when
    // signing is delayed.
    void openAndStart() {
        ASSERT_EQ(0, p->Open(conf.c_str()));
        ASSERT_EQ(0, p->Start());
    }

    void waitUntilSigning(unsigned long calls) {
        ASSERT_TRUE(eventually([&] { return TavrelStandin_CallCount("KTCtxSignData") >= calls; }));
    }

    vek_test::temp_dir dir;
    std::string conf;
    const exports *p = nullptr;
    recorder &answers = recorder::instance();
};

TEST_F(Host, LifecycleSignsAndReopens) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        answers.reset();
        openAndStart();
        ASSERT_EQ(0, sign("payload", 7));
        const auto got = answers.wait_for(1);
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(7, got[0].id);
        EXPECT_EQ(0, got[0].status);
        EXPECT_EQ("payload", got[0].blob);
        EXPECT_TRUE(got[0].signGiven);
        EXPECT_GT(got[0].signSize, 0u);
        EXPECT_TRUE(got[0].onOtherThread);
        EXPECT_EQ(0, p->Stop());
        p->Close();
        const TavrelStandinCounters c = TavrelStandin_GetCounters();
        EXPECT_EQ(0u, c.buffers + c.records + c.contexts + c.privateKeys);
    }
    log_tail log;
    EXPECT_EQ(-1, sign("after close", 8));
    EXPECT_EQ(std::vector<std::string>{"2 CryptoProviderSign fail: kS_INVALID_OPERATION"}, failures(log));
}

TEST_F(Host, SecondOpenIsRefusedAndTheFirstKeepsWorking) {
    ASSERT_EQ(0, p->Open(conf.c_str()));
    log_tail log;
    EXPECT_EQ(-1, p->Open(conf.c_str()));
    EXPECT_EQ(std::vector<std::string>{"1 CryptoProviderOpen fail: kS_INVALID_OPERATION"}, failures(log));
    unsigned char text[65];
    unsigned int size = sizeof text;
    EXPECT_EQ(0, p->Hash(reinterpret_cast<const unsigned char *>("abc"), 3, text, &size));
}

TEST_F(Host, RefusalsWithoutAProvider) {
    unsigned char buffer[100];
    unsigned int size = sizeof buffer;
    const unsigned char data[] = {1};
    struct row {
        const char *name;
        std::function<int()> call;
        std::string line;
    };
    const row rows[] = {
        {"start", [&] { return p->Start(); }, "1 CryptoProviderStart fail: kS_INVALID_OPERATION"},
        {"stop", [&] { return p->Stop(); }, "1 CryptoProviderStop fail: kS_INVALID_OPERATION"},
        {"close", [&] { return p->Close(), -1; }, "2 CryptoProviderClose fail: kS_INVALID_OPERATION"},
        {"certificate", [&] { return p->GetCrt(buffer, &size); }, "2 CryptoProviderGetCrt fail: kS_INVALID_OPERATION"},
        {"hash", [&] { return p->Hash(data, 1, buffer, &size); }, "2 CryptoProviderHash fail: kS_INVALID_OPERATION"},
        {"sign", [&] { return sign("x", 1); }, "2 CryptoProviderSign fail: kS_INVALID_OPERATION"},
        {"null path", [&] { return p->Open(nullptr); }, "1 CryptoProviderOpen fail: exception <null configuration path>"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        log_tail log;
        EXPECT_EQ(-1, r.call());
        EXPECT_EQ(std::vector<std::string>{r.line}, failures(log));
    }
    EXPECT_TRUE(answers.now().empty());
}

TEST_F(Host, ArgumentRefusals) {
    ASSERT_EQ(0, p->Open(conf.c_str()));
    unsigned char buffer[100];
    unsigned int size = sizeof buffer;
    const unsigned char data[] = {1};
    struct row {
        std::function<int()> call;
        std::string line;
    };
    const row rows[] = {
        {[&] { return p->GetCrt(nullptr, &size); }, "1 CryptoProviderGetCrt fail: kS_INVALID_PARAMS (aCrtData)"},
        {[&] { return p->GetCrt(buffer, nullptr); }, "1 CryptoProviderGetCrt fail: kS_INVALID_PARAMS (aCrtSize)"},
        {[&] { return p->Hash(nullptr, 1, buffer, &size); }, "1 CryptoProviderHash fail: kS_INVALID_PARAMS (aBlobData)"},
        {[&] { return p->Hash(data, 0, buffer, &size); }, "1 CryptoProviderHash fail: kS_INVALID_PARAMS (aBlobSize)"},
        {[&] { return p->Hash(data, 1, buffer, nullptr); }, "1 CryptoProviderHash fail: kS_INVALID_PARAMS (aHashSize)"},
        {[&] { return p->Sign(nullptr, 1, &recorder::handler, nullptr); },
         "1 CryptoProviderSign fail: kS_INVALID_PARAMS (aBlobData)"},
        {[&] { return p->Sign(data, 0, &recorder::handler, nullptr); },
         "1 CryptoProviderSign fail: kS_INVALID_PARAMS (aBlobSize)"},
        {[&] { return p->Sign(data, 1, nullptr, nullptr); }, "1 CryptoProviderSign fail: kS_INVALID_PARAMS (aHandler)"},
        {[&] { return p->CollectStats(nullptr, nullptr); },
         "1 CryptoProviderCollectStats fail: kS_INVALID_PARAMS (fn)"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        log_tail log;
        EXPECT_EQ(-1, r.call());
        EXPECT_EQ(std::vector<std::string>{r.line}, failures(log));
    }
    // A null context is handed back as it is.
    ASSERT_EQ(0, p->Start());
    ASSERT_EQ(0, p->Sign(data, 1, &recorder::handler, nullptr));
    const auto got = answers.wait_for(1);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0, got[0].id);
    EXPECT_EQ(0, got[0].status);
}

TEST_F(Host, FailedInitialisationRefusesTheOpen) {
    ASSERT_EQ(0, TavrelStandin_SetFault("KTInitialize", KT_ERROR_RESOURCE_FAILED, 0));
    log_tail log;
    EXPECT_EQ(-1, p->Open(conf.c_str()));
    const auto lines = failures(log);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("1 kt_guard fail: KTInitialize (error:6, ", 0)) << lines[0];
    EXPECT_EQ("1 CryptoProviderOpen fail: Provider__Create (conf-path:<" + conf + ">)", lines[1]);
    TavrelStandin_ClearFaults();
    EXPECT_EQ(0, p->Open(conf.c_str()));
}

TEST_F(Host, FullRingIsBusyAndStopDrainsNewestFirst) {
    TavrelStandin_SetDelay("KTCtxSignData", 300);
    openAndStart();
    ASSERT_EQ(0, sign("A", 1));
    waitUntilSigning(1);
    ASSERT_EQ(0, sign("B", 2));
    ASSERT_EQ(0, sign("C", 3));
    log_tail log;
    EXPECT_EQ(-3, sign("D", 4));
    EXPECT_EQ(std::vector<std::string>{"2 getSign fail: kSVEK_BUSY (timeout:0ms)"}, failures(log));

    ASSERT_EQ(0, p->Stop());  // while A is being signed
    const auto got = answers.wait_for(3);
    ASSERT_EQ((std::vector<long>{1, 3, 2}), ids(got));
    EXPECT_EQ(0, got[0].status);
    EXPECT_EQ("A", got[0].blob);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(-1, got[i].status);
        EXPECT_EQ("", got[i].blob);
        EXPECT_FALSE(got[i].signGiven);
        EXPECT_EQ(0u, got[i].signSize);
    }
    EXPECT_EQ(1u, TavrelStandin_CallCount("KTCtxSignData"));  // nothing signed twice or after the stop

    log_tail after;
    EXPECT_EQ(-3, sign("E", 5));
    EXPECT_EQ(1u, after.count("4 getSign fail: kSVEK_BUSY (stop-request)"));
    p->Close();
    EXPECT_EQ(3u, answers.now().size());
}

TEST_F(Host, RequestsAreServedInOrder) {
    TavrelStandin_SetDelay("KTCtxSignData", 100);
    openAndStart();
    ASSERT_EQ(0, sign("first", 1));
    waitUntilSigning(1);
    ASSERT_EQ(0, sign("second", 2));
    ASSERT_EQ(0, sign("third", 3));
    const auto got = answers.wait_for(3);
    ASSERT_EQ((std::vector<long>{1, 2, 3}), ids(got));
    const char *const blobs[] = {"first", "second", "third"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(0, got[i].status);
        EXPECT_EQ(blobs[i], got[i].blob);
        EXPECT_TRUE(got[i].signGiven);
    }
}

// A Stop before Start is ignored: what is queued stays, and more may be queued.
TEST_F(Host, RequestsQueuedBeforeStartAreServedAfterIt) {
    ASSERT_EQ(0, p->Open(conf.c_str()));
    ASSERT_EQ(0, sign("one", 1));
    log_tail log;
    EXPECT_EQ(0, p->Stop());
    EXPECT_EQ(std::vector<std::string>{"2 stop fail: kS_INVALID_OPERATION"}, failures(log));
    ASSERT_EQ(0, sign("two", 2));
    EXPECT_EQ(-3, sign("three", 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(answers.now().empty());
    ASSERT_EQ(0, p->Start());
    const auto got = answers.wait_for(2);
    ASSERT_EQ((std::vector<long>{1, 2}), ids(got));
    EXPECT_EQ(0, got[0].status);
    EXPECT_EQ(0, got[1].status);
}

// Closing a provider that never ran answers its queued requests, newest first.
TEST_F(Host, CloseAnswersWhatNoWorkerServed) {
    ASSERT_EQ(0, p->Open(conf.c_str()));
    ASSERT_EQ(0, sign("one", 1));
    ASSERT_EQ(0, sign("two", 2));
    log_tail log;
    EXPECT_EQ(0, p->Stop());  // refused: never started
    EXPECT_EQ(std::vector<std::string>{"2 stop fail: kS_INVALID_OPERATION"}, failures(log));
    p->Close();
    const auto got = answers.now();
    ASSERT_EQ((std::vector<long>{2, 1}), ids(got));
    for (const answer &a : got) {
        EXPECT_EQ(-1, a.status);
        EXPECT_FALSE(a.signGiven);
    }
}

TEST_F(Host, StartRunsOnce) {
    openAndStart();
    log_tail log;
    EXPECT_EQ(0, p->Start());
    EXPECT_EQ(0, p->Stop());
    EXPECT_EQ(0, p->Start());
    EXPECT_EQ((std::vector<std::string>{"2 start fail: kS_INVALID_OPERATION", "2 start fail: kS_INVALID_OPERATION"}),
              failures(log));
}

// A wrong password ends the worker: what is queued is answered -2, and from then on
// Sign, Hash and GetCrt answer -2 at once.
TEST_F(Host, WrongPasswordAnswersQueuedAndRefusesNew) {
    conf = dir.write("conf.json", vek_test::device_conf(vek_test::kSerial, "wrong"));
    ASSERT_EQ(0, p->Open(conf.c_str()));
    ASSERT_EQ(0, sign("one", 1));
    ASSERT_EQ(0, sign("two", 2));
    log_tail log;
    ASSERT_EQ(0, p->Start());
    const auto got = answers.wait_for(2);
    ASSERT_EQ((std::vector<long>{2, 1}), ids(got));
    for (const answer &a : got) {
        EXPECT_EQ(-2, a.status);
        EXPECT_EQ("", a.blob);
        EXPECT_FALSE(a.signGiven);
        EXPECT_EQ(0u, a.signSize);
    }
    EXPECT_EQ(1u, log.count("1 doManyWork fail: Engine__Create (deny)"));

    log_tail refusals;
    EXPECT_EQ(-2, sign("three", 3));
    unsigned char text[65];
    unsigned int size = sizeof text;
    EXPECT_EQ(-2, p->Hash(reinterpret_cast<const unsigned char *>("abc"), 3, text, &size));
    EXPECT_EQ(sizeof text, size);
    EXPECT_EQ(-2, p->GetCrt(text, &size));
    EXPECT_EQ(sizeof text, size);
    const std::string refused = "fail: invalid key-media password  (kterror:KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)";
    EXPECT_EQ((std::vector<std::string>{
                  "1 getSign " + refused,
                  "1 getHash " + refused,
                  "1 CryptoProviderHash fail: provider_like::getHash (stat:-2)",
                  "1 getCert " + refused,
                  "1 CryptoProviderGetCrt fail: provider_like::getCert (stat:-2)",
              }),
              failures(refusals));
    EXPECT_EQ(2u, answers.now().size());
}

// A password the medium refuses is offered to it once per Open: every later Hash, GetCrt
// and Sign answers -2 at once, without asking the library.
TEST_F(Host, ARefusedPasswordIsOfferedOnce) {
    const std::string keyFile = dir.file("key.p12");
    ASSERT_TRUE(vek_test::make_key_file(keyFile, "file-pass"));
    struct row {
        const char *name;
        std::string conf;
        const char *read;  // the library function that reads the key
    };
    const row rows[] = {
        {"key medium", vek_test::device_conf(vek_test::kSerial, "wrong"), "KTCtxReadPrivateKey"},
        {"key file", vek_test::file_conf(keyFile, "wrong"), "KTCtxReadPrivateKeyBinary"},
    };
    const unsigned char abc[] = {'a', 'b', 'c'};
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        answers.reset();
        TavrelStandin_ResetCallCounts();
        log_tail log;
        ASSERT_EQ(0, p->Open(dir.write("conf.json", r.conf).c_str()));
        unsigned char buffer[4096];
        unsigned int size = sizeof buffer;
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(-2, p->Hash(abc, sizeof abc, buffer, &size));
            EXPECT_EQ(-2, p->GetCrt(buffer, &size));
        }
        ASSERT_EQ(0, p->Start());
        EXPECT_EQ(-2, sign("one", 1));
        EXPECT_EQ(-2, sign("two", 2));
        for (int i = 0; i < 3; ++i) EXPECT_EQ(-2, p->Hash(abc, sizeof abc, buffer, &size));
        EXPECT_EQ(0, p->Stop());
        p->Close();
        EXPECT_EQ(1u, TavrelStandin_CallCount(r.read));
        EXPECT_EQ(1u, count_ending(log, "(KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"));  // the medium's refusal
        EXPECT_TRUE(answers.now().empty());
    }
}

// A refusal of access in an operation, by the worker's engine or the pool's, is the
// provider's: every later operation answers -2 without asking the library.
TEST_F(Host, ARefusalInAnOperationAnswersEveryLaterOne) {
    const unsigned char abc[] = {'a', 'b', 'c'};
    unsigned char buffer[4096];
    unsigned int size = sizeof buffer;
    struct row {
        const char *fault;
        std::function<int()> refused;  // the operation the medium refuses
        size_t answers;                // handler calls in all
    };
    const row rows[] = {
        {"KTCtxSignData",
         [&] {
             EXPECT_EQ(0, sign("refused", 2));
             const auto got = answers.wait_for(2);
             return got.size() == 2 ? got[1].status : 99;
         },
         2},
        {"KTCtxHashData", [&] { return p->Hash(abc, sizeof abc, buffer, &size); }, 1},
        {"KTCtxGetOwnCertificate", [&] { return p->GetCrt(buffer, &size); }, 1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.fault);
        answers.reset();
        openAndStart();
        ASSERT_EQ(0, p->GetCrt(buffer, &size));  // the pool's engine
        ASSERT_EQ(0, sign("first", 1));
        ASSERT_EQ(1u, answers.wait_for(1).size());  // the worker's
        ASSERT_EQ(0, TavrelStandin_SetFault(r.fault, KT_ERROR_KEY_MEDIAS_ACCESS_FAILED, 0));
        EXPECT_EQ(-2, r.refused());
        TavrelStandin_ClearFaults();
        TavrelStandin_ResetCallCounts();
        EXPECT_EQ(-2, p->Hash(abc, sizeof abc, buffer, &size));
        EXPECT_EQ(-2, p->GetCrt(buffer, &size));
        EXPECT_EQ(-2, sign("later", 3));
        for (const char *f : {"KTCtxSignData", "KTCtxHashData", "KTCtxGetOwnCertificate"})
            EXPECT_EQ(0u, TavrelStandin_CallCount(f)) << f;
        p->Stop();
        p->Close();
        EXPECT_EQ(r.answers, answers.now().size());
    }
}

// A configuration that no later try can mend fails everything at once, also Sign, until
// the next Open: a file mended in between changes nothing. The worker does not wait for
// it either.
TEST_F(Host, AConfigurationThatCannotWorkRefusesSignAtOnce) {
    const std::string algos = R"("hash-algo": "sha256", "sign-algo": "ecdsa")";
    const std::string large = dir.write("large.p12", std::string((1 << 20) + 1, 'k'));
    struct row {
        const char *name;
        std::string text;  // the file's text; empty: no file
        std::string line;  // a level-1 line of the reading
    };
    const row rows[] = {
        {"no file", "", "1 Json__UnpackConf fail: fopen <" + conf + "> (errno:No such file or directory)"},
        {"not JSON", "{\"hash-algo\": ", "1 _T_session__setup2 fail: cJSON_Parse (offset:14, line:1, column:15)"},
        {"no key location", "{" + algos + R"(, "key-sign-pass": "p"})", ""},
        {"no password", "{" + algos + R"(, "key-sign": "/k.p12"})", "1 _T_session__setup2 fail: get Key password"},
        {"NUL in the serial", vek_test::device_conf(std::string(vek_test::kSerial) + "\\u0000junk"),
         "1 _T_session__setup2 fail: string holds a NUL (\\u0000)"},
        {"password too long for a medium", vek_test::device_conf(vek_test::kSerial, std::string(65, 'p')),
         "1 _T_fix_key_location fail: kS_INVALID_PARAMS (key-sign-pass longer than 64 bytes)"},
        {"key file over 1 MiB", vek_test::file_conf(large, "file-pass"),
         "1 _T_fix_key_location fail: fread <key-sign> (File too large)"},
        {"key-sign longer than PATH_MAX", vek_test::file_conf("/" + std::string(PATH_MAX, 'k'), "file-pass"),
         "1 _T_fix_key_location fail: kS_INVALID_PARAMS (key-sign longer than PATH_MAX)"},
        {"relative key-sign longer than PATH_MAX", vek_test::file_conf(std::string(PATH_MAX, 'k'), "file-pass"),
         "1 _T_fix_key_location fail: kS_INVALID_PARAMS (key-sign longer than PATH_MAX)"},
    };
    const std::string unusable = "fail: kS_INVALID_PARAMS (unusable configuration)";
    const unsigned char abc[] = {'a', 'b', 'c'};
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::remove(conf.c_str());
        if (!r.text.empty()) dir.write("conf.json", r.text);
        answers.reset();
        log_tail log;
        ASSERT_EQ(0, p->Open(conf.c_str()));
        unsigned char buffer[4096];
        unsigned int size = sizeof buffer;
        EXPECT_EQ(-1, sign("before Start", 1));
        EXPECT_EQ(-1, p->Hash(abc, sizeof abc, buffer, &size));
        EXPECT_EQ(-1, p->GetCrt(buffer, &size));
        ASSERT_EQ(0, p->Start());
        ASSERT_TRUE(eventually([&] { return log.count("2 doManyWork fail: Engine__Create") == 1; }));
        dir.write("conf.json", vek_test::device_conf());
        EXPECT_EQ(-1, sign("after Start", 2));
        EXPECT_EQ(-1, p->Hash(abc, sizeof abc, buffer, &size));
        EXPECT_EQ(2u, log.count("1 getSign " + unusable));
        if (!r.line.empty()) {
            EXPECT_EQ(1u, log.count(r.line));
        }
        size_t readingLines = log.count("1 Engine__ReadSource fail: Json__UnpackConf (conf-path:<" + conf + ">)");
        for (const std::string &b : log.briefs(1)) readingLines += b.rfind("1 _T_fix_key_location ", 0) == 0;
        EXPECT_EQ(1u, readingLines);
        EXPECT_EQ(0, p->Stop());
        p->Close();
        EXPECT_EQ(1u, log.count("2 doManyWork fail: Engine__Create"));  // tried once, then ended
        EXPECT_TRUE(answers.now().empty());

        ASSERT_EQ(0, p->Open(conf.c_str()));
        EXPECT_EQ(0, p->Hash(abc, sizeof abc, buffer, &size));
        p->Close();
    }
}

// A failure that may pass is tried again for each new request, and never leaves a
// request waiting: what waited for a failed try is answered -1 at once, so the ring is
// free, and once the key can be read the next request is signed. Hash and GetCrt answer
// as soon as the key can be read, too.
TEST_F(Host, FailuresThatCanPassNeverLeaveARequestWaiting) {
    const std::string keyFile = dir.file("later.p12");
    struct row {
        const char *name;
        std::string conf;
        std::function<void()> arrange, mend;
    };
    const row rows[] = {
        {"library failure", vek_test::device_conf(),
         [] { TavrelStandin_SetFault("KTCtxReadPrivateKey", KT_ERROR_RESOURCE_FAILED, 0); },
         [] { TavrelStandin_ClearFaults(); }},
        {"key file not there yet", vek_test::file_conf(keyFile, "file-pass"), [] {},
         [&] { ASSERT_TRUE(vek_test::make_key_file(keyFile, "file-pass")); }},
        {"relative key file not there yet", vek_test::file_conf("later.p12", "file-pass"),
         [&] { std::filesystem::current_path(dir.path()); },
         [&] { ASSERT_TRUE(vek_test::make_key_file(keyFile, "file-pass")); }},
        {"medium without a key yet", vek_test::device_conf("VEK-NOKEY", "nokey"), [] {},
         [] { ASSERT_EQ(0u, vek_test::rekey_medium(0, 1, "nokey")); }},
        // The library lists no medium until it is inserted.
        {"medium inserted late", vek_test::device_conf(),
         [] { TavrelStandin_SetFault("KTEnumKeyMediaDevices", KT_ERROR_NO_MORE_ITEMS, 0); },
         [] { TavrelStandin_ClearFaults(); }},
    };
    const std::string before = std::filesystem::current_path();
    const unsigned char abc[] = {'a', 'b', 'c'};
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        answers.reset();
        std::remove(keyFile.c_str());
        conf = dir.write("conf.json", r.conf);
        r.arrange();
        log_tail log;
        openAndStart();
        std::filesystem::current_path(before);
        ASSERT_TRUE(eventually([&] { return log.count("2 doManyWork fail: Engine__Create") == 1; }));
        unsigned char buffer[4096];
        unsigned int size = sizeof buffer;
        EXPECT_EQ(-1, p->Hash(abc, sizeof abc, buffer, &size));
        ASSERT_EQ(0, sign("queued", 1));
        ASSERT_EQ(0, sign("queued too", 2));
        const auto waited = answers.wait_for(2, 10);
        ASSERT_EQ((std::vector<long>{1, 2}), ids(waited)) << "requests left waiting";
        for (const answer &a : waited) {
            EXPECT_EQ(-1, a.status);
            EXPECT_EQ("", a.blob);
            EXPECT_FALSE(a.signGiven);
        }

        r.mend();
        size = sizeof buffer;
        EXPECT_EQ(0, p->Hash(abc, sizeof abc, buffer, &size));
        ASSERT_EQ(0, sign("now", 3));
        const auto got = answers.wait_for(3);
        ASSERT_EQ((std::vector<long>{1, 2, 3}), ids(got));
        EXPECT_EQ(0, got[2].status);
        EXPECT_EQ("now", got[2].blob);
        EXPECT_TRUE(got[2].signGiven);
        p->Stop();
        p->Close();
        EXPECT_EQ(3u, answers.now().size());
    }
}

// The configuration is read once, at Open: replaced by rename to name another medium, in
// either order against GetCrt and signing, it changes nothing until the next Open. The
// certificate GetCrt hands out verifies the signature the handler received.
TEST_F(Host, ReplacedConfigurationChangesNothingUntilTheNextOpen) {
    const std::string other = "VEK-0002";
    TavrelStandin_SetWorldPath(dir.write("world.json", vek_test::world({vek_test::type(
                                                           "е.ключ ВЕК Модра-1К",
                                                           {vek_test::device(vek_test::kSerial, vek_test::kPassword),
                                                            vek_test::device(other, "pass-0002")})}))
                                   .c_str());
    const auto certificate = [&] {
        unsigned char probe;
        unsigned int size = 0;
        EXPECT_EQ(0, p->GetCrt(&probe, &size));
        std::string cert(size, '\0');
        EXPECT_EQ(0, p->GetCrt(reinterpret_cast<unsigned char *>(&cert[0]), &size));
        return cert;
    };
    const auto startAndSign = [&] {
        ASSERT_EQ(0, p->Start());
        ASSERT_EQ(0, sign("payload", 1));
    };
    const auto replace = [&] {
        const std::string next = dir.write("next.json", vek_test::device_conf(other, "pass-0002"));
        ASSERT_EQ(0, std::rename(next.c_str(), conf.c_str()));
    };
    struct row {
        const char *name;
        bool certificateFirst;  // GetCrt, replace, Start and Sign; else replace while signing, GetCrt
    };
    for (const row r : {row{"replaced while a request is signed", false}, row{"replaced after GetCrt", true}}) {
        SCOPED_TRACE(r.name);
        answers.reset();
        conf = dir.write("conf.json", vek_test::device_conf());
        TavrelStandin_SetDelay("KTCtxSignData", r.certificateFirst ? 0 : 300);
        TavrelStandin_ResetCallCounts();
        log_tail log;
        ASSERT_EQ(0, p->Open(conf.c_str()));
        std::string cert;
        if (r.certificateFirst) {
            cert = certificate();
            replace();
            startAndSign();
        } else {
            startAndSign();
            waitUntilSigning(1);
            replace();
            cert = certificate();
        }
        const auto got = answers.wait_for(1);
        ASSERT_EQ(1u, got.size());
        ASSERT_EQ(0, got[0].status);
        EXPECT_EQ(0u, verify(got[0].blob, got[0].signature, cert));
        // Read once: the reading's lines are written once.
        EXPECT_EQ(1u, count_ending(log, ": configured key serial"));
        p->Stop();
        p->Close();

        ASSERT_EQ(0, p->Open(conf.c_str()));
        EXPECT_TRUE(cert != certificate()) << "the next Open reads the replaced file";
        p->Close();
    }
}

// Within one Open every engine has one key: GetCrt hands out no certificate but the one
// that verifies what the worker signs, whatever happens to the key file, the working
// folder or the medium in between. A medium that holds another key by the second
// reading fails everything from then on.
TEST_F(Host, TheCertificateIsAlwaysTheSigners) {
    const std::string keyFile = dir.file("key.p12");
    std::vector<std::string> certs, signatures;  // all handed out, by GetCrt and to handlers
    std::string data;
    const auto getCrt = [&] {
        unsigned char probe;
        unsigned int size = 0;
        int status = p->GetCrt(&probe, &size);
        std::string cert(size, '\0');
        if (status == 0) status = p->GetCrt(reinterpret_cast<unsigned char *>(&cert[0]), &size);
        if (status == 0) certs.push_back(cert);
        return status;
    };
    // Signs and waits for the answer: the handler's status.
    const auto signOne = [&](long id) {
        if (sign("payload", id) != 0) return 99;
        const auto got = answers.wait_for(static_cast<size_t>(id));
        if (got.size() != static_cast<size_t>(id)) return 98;
        if (got.back().status == 0) signatures.push_back(got.back().signature);
        data = got.back().blob;
        return got.back().status;
    };
    const std::string before = std::filesystem::current_path();
    ASSERT_TRUE(vek_test::make_key_file(keyFile, "file-pass"));
    struct row {
        const char *name;
        std::string conf;
        std::function<void()> script;
    };
    const row rows[] = {
        {"key file replaced after a signature", vek_test::file_conf(keyFile, "file-pass"),
         [&] {
             ASSERT_EQ(0, p->Start());
             ASSERT_EQ(0, signOne(1));
             ASSERT_TRUE(vek_test::replace_key_file(keyFile, "file-pass"));
             EXPECT_EQ(0, getCrt());
             EXPECT_EQ(0, signOne(2));
         }},
        {"relative key file, the host changes folder after Open", vek_test::file_conf("key.p12", "file-pass"),
         [&] {
             std::filesystem::current_path("/");
             ASSERT_EQ(0, p->Start());
             EXPECT_EQ(0, signOne(1));
             EXPECT_EQ(0, getCrt());
         }},
        {"medium re-keyed after a signature", vek_test::device_conf(),
         [&] {
             ASSERT_EQ(0, p->Start());
             ASSERT_EQ(0, signOne(1));
             ASSERT_EQ(0u, vek_test::rekey_medium(0, 0, vek_test::kPassword));
             log_tail log;
             EXPECT_EQ(-1, getCrt());
             EXPECT_EQ(1u, log.count("1 _T_check_same_key fail: kS_FAIL (another key than at its first reading)"));
             EXPECT_EQ(-1, sign("later", 2));
         }},
        {"medium re-keyed after GetCrt", vek_test::device_conf(),
         [&] {
             EXPECT_EQ(0, getCrt());
             ASSERT_EQ(0, sign("queued", 1));
             ASSERT_EQ(0u, vek_test::rekey_medium(0, 0, vek_test::kPassword));
             ASSERT_EQ(0, p->Start());
             const auto got = answers.wait_for(1);
             ASSERT_EQ(1u, got.size());
             EXPECT_EQ(-1, got[0].status);
             EXPECT_EQ(-1, sign("later", 2));
             EXPECT_EQ(-1, getCrt());
         }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        answers.reset();
        certs.clear();
        signatures.clear();
        std::filesystem::current_path(dir.file(""));
        ASSERT_EQ(0, p->Open(dir.write("conf.json", r.conf).c_str()));
        r.script();
        std::filesystem::current_path(before);
        for (const std::string &cert : certs)
            for (const std::string &signature : signatures)
                EXPECT_EQ(0u, verify(data, signature, cert)) << "a certificate that is not the signer's";
        p->Stop();
        p->Close();
    }
}

// A relative key file is read in the folder the host was in at Open, held open since,
// not by its name: renamed while the host stays in it, or too deep for its path to be
// opened, it still gives the key, to the worker and to Hash alike.
TEST_F(Host, ARelativeKeyFileIsReadInTheFolderHeldAtOpen) {
    const std::string before = std::filesystem::current_path();
    const std::string keyFile = dir.file("key.p12");
    const std::string component(200, 'd');
    struct row {
        const char *name;
        std::function<void()> enter;  // makes the folder and goes into it, with the key file
        std::function<void()> afterOpen, leave;
    };
    const row rows[] = {
        {"renamed after Open",
         [&] {
             std::filesystem::create_directory(dir.file("host"));
             std::filesystem::current_path(dir.file("host"));
             ASSERT_EQ(0, std::rename(keyFile.c_str(), "key.p12"));
         },
         [&] { ASSERT_EQ(0, std::rename(dir.file("host").c_str(), dir.file("moved").c_str())); },
         [&] { std::filesystem::remove_all(dir.file("moved")); }},
        {"path longer than PATH_MAX",
         [&] {
             std::filesystem::current_path(dir.path());
             for (size_t depth = 0; depth * (component.size() + 1) <= PATH_MAX; ++depth) {
                 ASSERT_EQ(0, mkdir(component.c_str(), 0700));
                 ASSERT_EQ(0, chdir(component.c_str()));
             }
             ASSERT_EQ(0, std::rename(keyFile.c_str(), "key.p12"));
         },
         [] {},
         [&] {
             ASSERT_EQ(0, unlink("key.p12"));
             while (chdir("..") == 0 && rmdir(component.c_str()) == 0) {
             }
         }},
    };
    const unsigned char abc[] = {'a', 'b', 'c'};
    for (const row &r : rows) {
        for (const bool hashFirst : {true, false}) {
            SCOPED_TRACE(std::string(r.name) + (hashFirst ? ", Hash reads the key" : ", the worker reads the key"));
            answers.reset();
            ASSERT_TRUE(vek_test::make_key_file(keyFile, "file-pass"));
            conf = dir.write("conf.json", vek_test::file_conf("key.p12", "file-pass"));
            r.enter();
            ASSERT_EQ(0, p->Open(conf.c_str()));
            r.afterOpen();
            unsigned char text[65];
            unsigned int size = sizeof text;
            if (hashFirst) {
                EXPECT_EQ(0, p->Hash(abc, sizeof abc, text, &size));
            }
            ASSERT_EQ(0, p->Start());
            ASSERT_EQ(0, sign("payload", 1));
            const auto got = answers.wait_for(1);
            ASSERT_EQ(1u, got.size());
            EXPECT_EQ(0, got[0].status);
            size = sizeof text;
            EXPECT_EQ(0, p->Hash(abc, sizeof abc, text, &size));
            p->Stop();
            p->Close();
            r.leave();
            std::filesystem::current_path(before);
        }
    }
}

// No line of the plug-in holds a configured value, from Open to Close, whether the key
// cannot be found, is refused, or signs: each member holds a value found nowhere else.
TEST_F(Host, NoLogLineHoldsAConfiguredValue) {
    const std::string serial = "SERIAL-v8a0", password = "PASSWORD-k9d4";
    TavrelStandin_SetWorldPath(
        dir.write("world.json", vek_test::world({vek_test::type("е.ключ ВЕК Модра-1К",
                                                                {vek_test::device(serial, password)})}))
            .c_str());
    const std::vector<std::string> values = {serial,         password,          "MODEL-x3f7", "PASSWORD-b1n6",
                                             "SERIAL-u4c9",  "KEYSIGN-j6e2",   "KEYABS-r5t1", "APPEND-z5b1"};
    const std::string algos = R"("hash-algo": "sha256", "sign-algo": "ecdsa", "append-cert": "APPEND-z5b1", )";
    const auto device = [&](const std::string &serialGiven, const std::string &passwordGiven) {
        return "{" + algos + R"("key-model": "MODEL-x3f7", "key-serial": ")" + serialGiven +
               R"(", "key-sign-pass": ")" + passwordGiven + "\"}";
    };
    const auto file = [&](const std::string &path) {
        return "{" + algos + R"("key-sign": ")" + path + R"(", "key-sign-pass": "PASSWORD-b1n6"})";
    };
    const std::string texts[] = {
        device(serial, password),                        // signs
        device(serial, "PASSWORD-b1n6"),                 // refused
        device("SERIAL-u4c9", password),                 // no such medium
        file("KEYSIGN-j6e2.p12"),                        // no such file, relative
        file(dir.file("KEYABS-r5t1.p12")),               // and absolute
        file(dir.write("KEYABS-r5t1.key", "not a key")), // not a key
        "{" + algos + R"("key-model": "MODEL-x3f7" "key-serial": "SERIAL-u4c9", "key-sign-pass": "PASSWORD-b1n6"})",
    };
    const unsigned char abc[] = {'a', 'b', 'c'};
    for (const std::string &text : texts) {
        SCOPED_TRACE(text);
        answers.reset();
        log_tail log;
        ASSERT_EQ(0, p->Open(dir.write("conf.json", text).c_str()));
        unsigned char buffer[4096];
        unsigned int size = sizeof buffer;
        p->GetCrt(buffer, &size);
        size = sizeof buffer;
        p->Hash(abc, sizeof abc, buffer, &size);
        ASSERT_EQ(0, p->Start());
        if (sign("payload", 1) == 0) answers.wait_for(1);
        p->Stop();
        p->Close();
        ASSERT_FALSE(log.briefs().empty());
        for (const std::string &line : log.briefs())
            for (const std::string &value : values) EXPECT_EQ(std::string::npos, line.find(value)) << line;
    }
}

// A provider is not opened while the last one is still being closed: not by a handler
// that Close runs for a request that was never started (on the thread that closes), nor
// by another thread. Once Close returns, Open works and so does the library.
TEST_F(Host, OpenDuringCloseIsRefused) {
    struct closing_state {
        std::string conf;
        const exports *p;
        bool fromHandler;
        std::mutex lock;
        std::condition_variable changed;
        bool inClose = false, tried = false;
        int opened = 99;
        std::thread::id handlerThread;
    };
    static closing_state *_s_state;
    const auto handler = [](void *, int, const unsigned char *, unsigned int, const unsigned char *, unsigned int) {
        closing_state &s = *_s_state;
        std::unique_lock<std::mutex> hold(s.lock);
        s.handlerThread = std::this_thread::get_id();
        if (s.fromHandler) {
            hold.unlock();
            const int opened = s.p->Open(s.conf.c_str());
            hold.lock();
            s.opened = opened;
            s.tried = true;
            return;
        }
        s.inClose = true;
        s.changed.notify_all();
        s.changed.wait_for(hold, std::chrono::seconds(10), [&] { return s.tried; });
    };
    for (const bool fromHandler : {true, false}) {
        SCOPED_TRACE(fromHandler ? "from a handler" : "from another thread");
        closing_state s;
        s.conf = conf;
        s.p = p;
        s.fromHandler = fromHandler;
        _s_state = &s;
        ASSERT_EQ(0, p->Open(conf.c_str()));
        ASSERT_EQ(0, p->Sign(reinterpret_cast<const unsigned char *>("x"), 1, handler, nullptr));
        std::thread other;
        if (!fromHandler)
            other = std::thread([&s] {
                std::unique_lock<std::mutex> hold(s.lock);
                s.changed.wait_for(hold, std::chrono::seconds(10), [&] { return s.inClose; });
                hold.unlock();
                const int opened = s.p->Open(s.conf.c_str());
                hold.lock();
                s.opened = opened;
                s.tried = true;
                s.changed.notify_all();
            });
        log_tail log;
        p->Close();
        if (other.joinable()) other.join();
        EXPECT_EQ(-1, s.opened);
        EXPECT_EQ(std::this_thread::get_id(), s.handlerThread);
        EXPECT_EQ(1u, log.count("1 CryptoProviderOpen fail: kS_INVALID_OPERATION (closing)"));

        ASSERT_EQ(0, p->Open(conf.c_str()));
        unsigned char text[65];
        unsigned int size = sizeof text;
        EXPECT_EQ(0, p->Hash(reinterpret_cast<const unsigned char *>("abc"), 3, text, &size));
        p->Close();
    }
}

TEST_F(Host, FailedSigningGivesNoSignature) {
    openAndStart();
    struct row {
        const char *name;
        std::function<void()> arrange;
        int status;
        std::string warning;  // start of a level-2 line, or empty
    };
    const row rows[] = {
        {"long signature", [] { TavrelStandin_SetLongSignatures(1); }, -1,
         "2 doManyWork fail: buffer too small (buffer-size:4096, sign-size:"},
        {"library failure", [] { TavrelStandin_SetFault("KTCtxSignData", KT_ERROR_RESOURCE_FAILED, 0); }, -1, ""},
        {"access refused", [] { TavrelStandin_SetFault("KTCtxSignData", KT_ERROR_KEY_MEDIAS_ACCESS_FAILED, 0); }, -2,
         ""},
    };
    long id = 0;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        TavrelStandin_ClearFaults();
        TavrelStandin_SetLongSignatures(0);
        r.arrange();
        answers.reset();
        log_tail log;
        ASSERT_EQ(0, sign("blob", ++id));
        const auto got = answers.wait_for(1);
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(r.status, got[0].status);
        EXPECT_EQ("blob", got[0].blob);
        EXPECT_FALSE(got[0].signGiven);
        EXPECT_EQ(0u, got[0].signSize);
        if (!r.warning.empty()) {
            const auto lines = log.briefs(2);
            ASSERT_EQ(1u, lines.size());
            EXPECT_EQ(0u, lines[0].rfind(r.warning, 0)) << lines[0];
        }
    }
}

TEST_F(Host, HashAnswersByRoom) {
    ASSERT_EQ(0, p->Open(conf.c_str()));
    const std::string sha = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const unsigned char abc[] = {'a', 'b', 'c'};
    struct row {
        unsigned int room;
        bool nullBuffer;
        int status;
        unsigned int size;  // *aHashSize afterwards
        bool written;
        std::string line;  // level-1 line, or empty
    };
    const row rows[] = {
        {100, false, 0, 64, true, ""},
        {65, false, 0, 64, true, ""},
        {64, false, -1, 64, false, "1 CryptoProviderHash fail: buffer too small (buffer-size:64, text-size:65)"},
        {10, false, 0, 64, false, ""},  // too small: the size needed
        {0, true, 0, 64, false, ""},    // a size query
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.room);
        unsigned char text[100];
        std::memset(text, '#', sizeof text);
        unsigned int size = r.room;
        log_tail log;
        EXPECT_EQ(r.status, p->Hash(abc, sizeof abc, r.nullBuffer ? nullptr : text, &size));
        EXPECT_EQ(r.size, size);
        if (r.written) {
            EXPECT_EQ(sha, std::string(reinterpret_cast<char *>(text)));
        } else {
            EXPECT_EQ('#', text[0]);
        }
        EXPECT_EQ(r.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{r.line}, failures(log));
    }
}

TEST_F(Host, CertificateSizeQueryThenCopy) {
    ASSERT_EQ(0, p->Open(conf.c_str()));
    unsigned char probe = 0xEE;
    unsigned int size = 0;
    ASSERT_EQ(0, p->GetCrt(&probe, &size));
    ASSERT_GT(size, 0u);
    EXPECT_EQ(0xEE, probe);
    std::vector<unsigned char> cert(size);
    unsigned int room = size;
    ASSERT_EQ(0, p->GetCrt(cert.data(), &room));
    EXPECT_EQ(size, room);
    EXPECT_EQ(0x30, cert[0]);

    TavrelStandin_SetFault("KTCtxGetOwnCertificate", KT_ERROR_RESOURCE_FAILED, 0);
    log_tail log;
    room = size;
    EXPECT_EQ(-1, p->GetCrt(cert.data(), &room));
    EXPECT_EQ(1u, log.count("1 CryptoProviderGetCrt fail: provider_like::getCert (stat:-1)"));
}

TEST_F(Host, StatisticsAreHandedToTheCallbackAsTheyAre) {
    struct seen {
        std::string text;
        void *context;
    } s{"", nullptr};
    auto callback = [](void *context, const char *stats) -> int {
        static_cast<seen *>(context)->text = stats;
        static_cast<seen *>(context)->context = context;
        return 42;
    };
    EXPECT_EQ(42, p->CollectStats(callback, &s));  // no provider needed
    EXPECT_EQ(std::string("{\"stats\": \"test\"}"), s.text);
    EXPECT_EQ(17u, s.text.size());
    EXPECT_EQ(&s, s.context);
}

TEST_F(Host, LogOpenPassesTheLevelToTheLogger) {
    EXPECT_EQ(0, p->LogOpen("vek-host", 1, 0));
    log_tail quiet;
    ASSERT_EQ(0, p->Open(conf.c_str()));
    EXPECT_TRUE(quiet.briefs(4).empty());
    EXPECT_EQ(0, p->LogClose());
    log_tail loud;
    p->Close();
    EXPECT_EQ(1u, loud.count("4 ~kt_guard done: KTFinalize"));
}

// A handler may call the exports, except Close, which it would wait for itself.
TEST_F(Host, HandlersMayCallExportsButNotClose) {
    openAndStart();
    struct state {
        const exports *p;
        int hash = 99, stop = 99;
        bool done = false;
        std::mutex lock;
        std::condition_variable cv;
    } s;
    s.p = p;
    auto handler = [](void *context, int, const unsigned char *, unsigned int, const unsigned char *, unsigned int) {
        state &st = *static_cast<state *>(context);
        unsigned char text[65];
        unsigned int size = sizeof text;
        st.p->Close();
        const int hash = st.p->Hash(reinterpret_cast<const unsigned char *>("x"), 1, text, &size);
        const int stop = st.p->Stop();
        std::lock_guard<std::mutex> hold(st.lock);
        st.hash = hash;
        st.stop = stop;
        st.done = true;
        st.cv.notify_all();
    };
    log_tail log;
    ASSERT_EQ(0, p->Sign(reinterpret_cast<const unsigned char *>("x"), 1, handler, &s));
    {
        std::unique_lock<std::mutex> hold(s.lock);
        ASSERT_TRUE(s.cv.wait_for(hold, std::chrono::seconds(20), [&] { return s.done; }));
    }
    EXPECT_EQ(0, s.hash);
    EXPECT_EQ(0, s.stop);
    EXPECT_EQ(1u, log.count("1 CryptoProviderClose fail: kS_INVALID_OPERATION"));
    EXPECT_EQ(-3, sign("stopped", 2));
}

}  // namespace
