// The signing engine against the stand-in library: key lookup, the operations and their
// failures, and that nothing the library hands out is left behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "call_trace.h"
#include "kt_api.h"
#include "log_briefs.h"
#include "tavrel_standin.h"
#include "vek_engine.h"
#include "vek_test_support.h"
#include "zarn/support/exceptions.h"

using namespace Zarn::Support;
using namespace Zarn::Support::Crypto::Vek;
using vek_test::device;
using vek_test::type;

namespace {

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        TavrelStandin_Reset();
        useWorld(vek_test::default_world());
        log_capture::clear();
    }

    void TearDown() override {
        if (initialised) KTFinalize();
        const TavrelStandinCounters c = TavrelStandin_GetCounters();
        EXPECT_EQ(0u, c.buffers);
        EXPECT_EQ(0u, c.records);
        EXPECT_EQ(0u, c.contexts);
        EXPECT_EQ(0u, c.privateKeys);
        EXPECT_EQ(0u, c.violations);
        TavrelStandin_Reset();
    }

    void useWorld(const std::string &text) {
        if (initialised) KTFinalize();
        TavrelStandin_SetWorldPath(dir.write("world.json", text).c_str());
        ASSERT_EQ(0u, KTInitialize());
        initialised = true;
    }

    std::shared_ptr<engine_source> source(const std::string &conf) {
        return Engine__ReadSource(dir.write("conf.json", conf).c_str());
    }
    std::shared_ptr<engine_like> create(const std::string &conf) { return Engine__Create(source(conf)); }

    vek_test::temp_dir dir;
    bool initialised = false;
};

// The medium is found by serial alone: model and type names play no part, and the
// lowest type index, then device index, wins.
TEST_F(Engine, FindsTheMediumBySerialAcrossAllTypes) {
    std::vector<std::string> types;
    for (int t = 0; t < 6; ++t) {
        std::vector<std::string> devices;
        for (int d = 0; d < 4; ++d) devices.push_back(device("T" + std::to_string(t) + "D" + std::to_string(d), "x", false));
        if (t == 5) devices[3] = device("TARGET", "right");
        if (t == 2) devices[1] = device("TWIN", "first");
        if (t == 4) devices[0] = device("TWIN", "second");
        types.push_back(type(t == 0 ? "е.ключ ВЕК Модра-1К" : "other type " + std::to_string(t), devices));
    }
    useWorld(vek_test::world(types));

    ASSERT_NE(nullptr, create(vek_test::device_conf("TARGET", "right")));
    EXPECT_EQ(1u, log_capture::count("_T_create_key_context_dev", "done: KTCtxReadPrivateKey"));
    ASSERT_NE(nullptr, create(vek_test::device_conf("TWIN", "first")));
    EXPECT_THROW(create(vek_test::device_conf("TWIN", "second")), deny_error);
}

// The class of what `f` throws, or "none".
std::string thrown(const std::function<void()> &f) {
    try {
        f();
    } catch (const unsupported_error &) {
        return "unsupported";
    } catch (const internal_error &) {
        return "internal";
    } catch (const params_error &) {
        return "params";
    } catch (const not_found_error &) {
        return "not found";
    } catch (const deny_error &) {
        return "deny";
    } catch (const std::exception &) {
        return "other";
    }
    return "none";
}

// The library's English text for a status.
std::string text(unsigned long status) { return KTGetErrorLangDesc(status, KT_EN_LANG); }

TEST_F(Engine, CreationFailures) {
    const std::string tooLong(KT_PASS_MAX_LENGTH, 'p');  // 65 bytes: one more than a medium holds
    const std::string medium = vek_test::device_conf();
    struct row {
        const char *name;
        std::string conf;
        const char *fault;  // library function made to fail with 6, or null
        const char *error;
        std::vector<std::string> lines;  // level-1 lines
    };
    const row rows[] = {
        {"unusable configuration", "{}", nullptr, "params",
         {"1 _T_session__setup2 fail: param <#/hash-algo> has invalid value",
          "1 Engine__ReadSource fail: Json__UnpackConf (conf-path:<" + dir.file("conf.json") + ">)",
          "1 Engine__Create fail: kS_INVALID_PARAMS (unusable configuration)"}},
        {"password too long for a medium", vek_test::device_conf(vek_test::kSerial, tooLong), nullptr, "params",
         {"1 _T_fix_key_location fail: kS_INVALID_PARAMS (key-sign-pass longer than 64 bytes)",
          "1 Engine__Create fail: kS_INVALID_PARAMS (unusable configuration)"}},
        {"unknown serial", vek_test::device_conf("NOPE", "x"), nullptr, "not found",
         {"1 _T_create_key_context_dev fail: find key-media (no medium has the key-serial)"}},
        {"wrong password", vek_test::device_conf(vek_test::kSerial, "wrong"), nullptr, "deny",
         {"1 _T_create_key_context_dev fail: KTCtxReadPrivateKey (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"}},
        {"medium without key", vek_test::device_conf("VEK-NOKEY", "nokey"), nullptr, "internal",
         {"1 _T_create_key_context_dev fail: KTCtxReadPrivateKey (" + text(TAVREL_STANDIN_ERROR_NO_KEY) + ")"}},
        {"context", medium, "KTCtxCreate", "internal",
         {"1 Engine__Create fail: KTCtxCreate (" + text(KT_ERROR_RESOURCE_FAILED) + ")"}},
        {"types", medium, "KTEnumKeyMediaTypes", "internal",
         {"1 _T_create_key_context_dev fail: KTEnumKeyMediaTypes (" + text(KT_ERROR_RESOURCE_FAILED) + ")"}},
        {"devices", medium, "KTEnumKeyMediaDevices", "internal",
         {"1 _T_create_key_context_dev fail: KTEnumKeyMediaDevices (" + text(KT_ERROR_RESOURCE_FAILED) + ")"}},
        {"key read", medium, "KTCtxReadPrivateKey", "internal",
         {"1 _T_create_key_context_dev fail: KTCtxReadPrivateKey (" + text(KT_ERROR_RESOURCE_FAILED) + ")"}},
        {"missing key file", vek_test::file_conf(dir.file("none.p12"), "p"), nullptr, "internal",
         {"1 _T_create_key_context_file fail: fopen <key-sign> (errno:No such file or directory)"}},
        {"no key file", vek_test::file_conf(dir.write("notakey.p12", "not a key"), "p"), nullptr, "internal",
         {"1 _T_create_key_context_file fail: KTCtxReadPrivateKeyBinary (" + text(TAVREL_STANDIN_ERROR_CRYPTO) +
          ")"}},
        {"certificate", medium, "KTCtxGetOwnCertificate", "internal",
         {"1 _T_check_same_key fail: CtxGetOwnCertificate (" + text(KT_ERROR_RESOURCE_FAILED) + ")"}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        TavrelStandin_ClearFaults();
        if (r.fault) {
            ASSERT_EQ(0, TavrelStandin_SetFault(r.fault, KT_ERROR_RESOURCE_FAILED, 0));
        }
        log_capture::clear();
        EXPECT_EQ(r.error, thrown([&] { create(r.conf); }));
        EXPECT_EQ(r.lines, log_capture::briefs(1));
        // Whatever was made before the failure is released, the key before its context.
        const TavrelStandinCounters c = TavrelStandin_GetCounters();
        EXPECT_EQ(0u, c.contexts + c.privateKeys + c.records + c.violations);
    }
    TavrelStandin_ClearFaults();
    log_capture::clear();
    EXPECT_EQ(-1, Engine__Verdict(*Engine__ReadSource(nullptr)));
    EXPECT_EQ(std::vector<std::string>{"1 Engine__ReadSource fail: kS_INVALID_PARAMS"}, log_capture::briefs(1));
    EXPECT_EQ("params", thrown([] { Engine__Create(nullptr); }));
}

// A key file that grows past 1 MiB after the configuration was read is unusable once it
// is read: that engine and every later one fail at once, without reading it again.
TEST_F(Engine, AKeyFileFoundTooLargeWhenReadIsUnusable) {
    const std::string keyFile = dir.file("key.p12");
    const auto from = source(vek_test::file_conf(keyFile, "p"));
    ASSERT_EQ(0, Engine__Verdict(*from));
    dir.write("key.p12", std::string((1 << 20) + 1, 'k'));
    const std::string unusable = "fail: kS_INVALID_PARAMS (unusable configuration)";
    EXPECT_EQ("params", thrown([&] { Engine__Create(from); }));
    EXPECT_EQ((std::vector<std::string>{"1 _T_create_key_context_file fail: fread <key-sign> (File too large)",
                                        "1 _T_create_key_context_file " + unusable}),
              log_capture::briefs(1));
    EXPECT_EQ(-1, Engine__Verdict(*from));
    ASSERT_TRUE(vek_test::make_key_file(keyFile, "p"));
    log_capture::clear();
    EXPECT_EQ("params", thrown([&] { Engine__Create(from); }));
    EXPECT_EQ(std::vector<std::string>{"1 Engine__Create " + unusable}, log_capture::briefs(1));
}

TEST_F(Engine, KeyFileWithALongPassword) {
    const std::string password(100, 'k');
    const std::string keyFile = dir.file("key.p12");
    ASSERT_TRUE(vek_test::make_key_file(keyFile, password));
    auto engine = create(vek_test::file_conf(keyFile, password));
    EXPECT_EQ(1u, log_capture::count("_T_create_key_context_file", "done: KTCtxReadPrivateKeyBinary"));
    unsigned char sign[4096];
    unsigned long size = sizeof sign;
    EXPECT_EQ(0, engine->getSign(reinterpret_cast<const unsigned char *>("data"), 4, sign, &size));
    EXPECT_THROW(create(vek_test::file_conf(keyFile, password + "x")), deny_error);
}

TEST_F(Engine, HashIsLowercaseHexWithItsNul) {
    auto engine = create(vek_test::device_conf());
    const unsigned char abc[] = {'a', 'b', 'c'};
    unsigned char text[80];
    struct row {
        unsigned long room;
        bool written;
    };
    for (const row r : {row{80, true}, row{65, true}, row{64, false}, row{0, false}}) {
        SCOPED_TRACE(r.room);
        std::memset(text, '#', sizeof text);
        unsigned long size = r.room;
        ASSERT_EQ(0, engine->getHash(abc, sizeof abc, text, &size));
        EXPECT_EQ(64u, size);
        if (r.written) {
            EXPECT_STREQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
                         reinterpret_cast<char *>(text));
        } else {
            EXPECT_EQ('#', text[0]);
        }
    }
    unsigned long size = 0;
    EXPECT_EQ(0, engine->getHash(abc, sizeof abc, nullptr, &size));
    EXPECT_EQ(64u, size);
}

// The certificate's description goes back before the certificate.
TEST_F(Engine, CertificateReleaseOrder) {
    auto engine = create(vek_test::device_conf());
    const std::string trace = dir.file("trace");
    TavrelStandin_SetTracePath(trace.c_str());
    unsigned long certSize = 0;
    ASSERT_EQ(0, engine->getCert(nullptr, &certSize));
    TavrelStandin_SetTracePath(nullptr);
    EXPECT_EQ((std::vector<std::string>{"KTFreeCertificateInfoEx", "KTFreeMemory"}),
              zarn_test::calls_after(trace, "KTCtxGetOwnCertificate", 2));
}

TEST_F(Engine, CertificateAndSignatureSizeQueries) {
    auto engine = create(vek_test::device_conf());
    unsigned long certSize = 0;
    ASSERT_EQ(0, engine->getCert(nullptr, &certSize));
    ASSERT_GT(certSize, 0u);
    std::vector<unsigned char> cert(certSize, 0xEE);
    unsigned long small = certSize - 1;
    ASSERT_EQ(0, engine->getCert(cert.data(), &small));
    EXPECT_EQ(certSize, small);
    EXPECT_EQ(0xEE, cert[0]);  // nothing written
    ASSERT_EQ(0, engine->getCert(cert.data(), &small));
    EXPECT_EQ(0x30, cert[0]);  // DER sequence

    unsigned char one = 0xEE;
    unsigned long signSize = 1;
    ASSERT_EQ(0, engine->getSign(reinterpret_cast<const unsigned char *>("x"), 1, &one, &signSize));
    EXPECT_GT(signSize, 1u);
    EXPECT_EQ(0xEE, one);
}

// The key's certificate as the engine hands it out.
std::string certificate(engine_like &engine) {
    unsigned long size = 0;
    if (engine.getCert(nullptr, &size) != 0) return "";
    std::string cert(size, '\0');
    return engine.getCert(reinterpret_cast<unsigned char *>(&cert[0]), &size) == 0 ? cert : "";
}

// Calls of the library functions that read keys or run operations.
unsigned long key_and_operation_calls() {
    unsigned long n = 0;
    for (const char *f : {"KTCtxCreate", "KTCtxReadPrivateKey", "KTCtxReadPrivateKeyBinary", "KTCtxSignData",
                          "KTCtxHashData", "KTCtxGetOwnCertificate"})
        n += TavrelStandin_CallCount(f);
    return n;
}

// Once the medium refuses access, wherever that happens, every engine of the source and
// every engine made from it later answers -2 without asking the library.
TEST_F(Engine, ARefusalAnswersEveryEngineOfTheSource) {
    const std::string keyFile = dir.file("key.p12");
    ASSERT_TRUE(vek_test::make_key_file(keyFile, "file-pass"));
    enum trigger { kSign, kHash, kCert, kCreate };
    struct row {
        const char *fault;
        trigger by;
        bool file;
        std::string line;  // the refusal's level-1 line
    };
    const row rows[] = {
        {"KTCtxSignData", kSign, false, "1 getSign fail: KTCtxSignData (kterror:KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"},
        {"KTCtxHashData", kHash, false, "1 getHash fail: KTCtxHashData (kterror:KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"},
        {"KTCtxGetOwnCertificate", kCert, true,
         "1 getCert fail: CtxGetOwnCertificate (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"},
        {"KTCtxReadPrivateKey", kCreate, false,
         "1 _T_create_key_context_dev fail: KTCtxReadPrivateKey (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"},
        {"KTCtxReadPrivateKeyBinary", kCreate, true,
         "1 _T_create_key_context_file fail: KTCtxReadPrivateKeyBinary (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"},
        {"KTCtxGetOwnCertificate", kCreate, false,
         "1 _T_check_same_key fail: CtxGetOwnCertificate (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"},
    };
    const std::string refused = "fail: invalid key-media password  (kterror:KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)";
    const unsigned char data[] = {1, 2, 3};
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        const auto from = source(r.file ? vek_test::file_conf(keyFile, "file-pass") : vek_test::device_conf());
        auto engine = Engine__Create(from);
        ASSERT_EQ(0, TavrelStandin_SetFault(r.fault, KT_ERROR_KEY_MEDIAS_ACCESS_FAILED, 0));
        log_capture::clear();
        unsigned char out[4096];
        unsigned long size = sizeof out;
        switch (r.by) {
        case kSign: EXPECT_EQ(-2, engine->getSign(data, sizeof data, out, &size)); break;
        case kHash: EXPECT_EQ(-2, engine->getHash(data, sizeof data, out, &size)); break;
        case kCert: EXPECT_EQ(-2, engine->getCert(out, &size)); break;
        case kCreate: EXPECT_EQ("deny", thrown([&] { Engine__Create(from); })); break;
        }
        EXPECT_EQ(sizeof out, size);  // untouched on failure
        EXPECT_EQ(-2, Engine__Verdict(*from));
        TavrelStandin_ClearFaults();
        TavrelStandin_ResetCallCounts();
        EXPECT_EQ(-2, engine->getSign(data, sizeof data, out, &size));
        EXPECT_EQ(-2, engine->getHash(data, sizeof data, out, &size));
        EXPECT_EQ(-2, engine->getCert(out, &size));
        EXPECT_EQ("deny", thrown([&] { Engine__Create(from); }));
        EXPECT_EQ(0u, key_and_operation_calls());
        EXPECT_EQ((std::vector<std::string>{r.line, "1 getSign " + refused, "1 getHash " + refused,
                                            "1 getCert " + refused, "1 Engine__Create " + refused}),
                  log_capture::briefs(1));
    }
}

// Every engine of a source has the key of the first reading: a key file is read once,
// and a medium that holds another key by the second reading is refused, for good.
TEST_F(Engine, EveryEngineOfASourceHasTheKeyOfTheFirstReading) {
    const std::string keyFile = dir.file("key.p12");
    struct row {
        const char *name;
        bool file;
        std::function<bool()> change;
        bool secondMade;  // else refused, and the first engine answers -1 from then on
    };
    const row rows[] = {
        {"key file replaced", true, [&] { return vek_test::replace_key_file(keyFile, "file-pass"); }, true},
        {"key file removed", true, [&] { return std::remove(keyFile.c_str()) == 0; }, true},
        {"medium re-keyed", false, [] { return vek_test::rekey_medium(0, 0, vek_test::kPassword) == 0; }, false},
    };
    const unsigned char data[] = {1};
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(vek_test::make_key_file(keyFile, "file-pass"));
        const auto from = source(r.file ? vek_test::file_conf(keyFile, "file-pass") : vek_test::device_conf());
        auto first = Engine__Create(from);
        const std::string cert = certificate(*first);
        ASSERT_FALSE(cert.empty());
        ASSERT_TRUE(r.change());
        log_capture::clear();
        if (r.secondMade) {
            auto second = Engine__Create(from);
            EXPECT_TRUE(cert == certificate(*second)) << "the second engine has another key";
            EXPECT_EQ(0, Engine__Verdict(*from));
            continue;
        }
        EXPECT_EQ("params", thrown([&] { Engine__Create(from); }));
        EXPECT_EQ(-1, Engine__Verdict(*from));
        TavrelStandin_ResetCallCounts();
        unsigned char out[4096];
        unsigned long size = sizeof out;
        EXPECT_EQ(-1, first->getSign(data, 1, out, &size));
        EXPECT_EQ(-1, first->getCert(out, &size));
        EXPECT_EQ(0u, key_and_operation_calls());
        const std::string changed = "fail: kS_FAIL (another key than at its first reading)";
        EXPECT_EQ((std::vector<std::string>{"1 _T_check_same_key " + changed, "1 getSign " + changed,
                                            "1 getCert " + changed}),
                  log_capture::briefs(1));
    }
}

// A relative key-file path is the working folder's when the configuration is read.
TEST_F(Engine, RelativeKeyFileIsTakenFromTheFolderAtReading) {
    ASSERT_TRUE(vek_test::make_key_file(dir.file("key.p12"), "file-pass"));
    const std::string conf = dir.write("conf.json", vek_test::file_conf("key.p12", "file-pass"));
    const std::string before = std::filesystem::current_path();
    std::filesystem::current_path(dir.file(""));
    const auto from = Engine__ReadSource(conf.c_str());
    std::filesystem::current_path("/");
    log_capture::clear();
    EXPECT_EQ("none", thrown([&] { Engine__Create(from); }));
    std::filesystem::current_path(before);
    EXPECT_EQ(std::vector<std::string>{}, log_capture::briefs(1));
}

TEST_F(Engine, OperationFailures) {
    struct row {
        const char *function;
        unsigned long status;
        int result;
        std::string line;
    };
    const row rows[] = {
        {"KTCtxSignData", KT_ERROR_RESOURCE_FAILED, -1,
         "1 getSign fail: KTCtxSignData (" + text(KT_ERROR_RESOURCE_FAILED) + ")"},
        {"KTCtxHashData", KT_ERROR_BAD_PARAMETER, -1,
         "1 getHash fail: KTCtxHashData (" + text(KT_ERROR_BAD_PARAMETER) + ")"},
        {"KTCtxGetOwnCertificate", KT_ERROR_RESOURCE_FAILED, -1,
         "1 getCert fail: CtxGetOwnCertificate (" + text(KT_ERROR_RESOURCE_FAILED) + ")"},
        {"KTCtxHashData", KT_ERROR_KEY_MEDIAS_ACCESS_FAILED, -2,
         "1 getHash fail: KTCtxHashData (kterror:KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"},
        {"KTCtxGetOwnCertificate", KT_ERROR_KEY_MEDIAS_ACCESS_FAILED, -2,
         "1 getCert fail: CtxGetOwnCertificate (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"},
    };
    const unsigned char data[] = {1};
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        auto engine = create(vek_test::device_conf());
        TavrelStandin_SetFault(r.function, r.status, 0);
        log_capture::clear();
        unsigned char out[4096];
        unsigned long size = sizeof out;
        const std::string f = r.function;
        const int result = f == "KTCtxSignData"   ? engine->getSign(data, 1, out, &size)
                           : f == "KTCtxHashData" ? engine->getHash(data, 1, out, &size)
                                                  : engine->getCert(out, &size);
        EXPECT_EQ(r.result, result);
        EXPECT_EQ(sizeof out, size);
        EXPECT_EQ(std::vector<std::string>{r.line}, log_capture::briefs(1));
        TavrelStandin_ClearFaults();
    }
}

}  // namespace
