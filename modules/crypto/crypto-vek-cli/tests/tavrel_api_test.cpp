// The signature facade in process, over the stand-in library and one world shared by
// the whole binary: each test works on devices of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "call_trace.h"
#include "ending_signals.h"
#include "log_capture.h"
#include "standin_world.h"
#include "tavrel/api.h"
#include "tavrel_standin.h"
#include "temp_dir.h"
#include "zarn/support/exceptions.h"
#include "zip_entries.h"

namespace fs = std::filesystem;

namespace {

using namespace Zarn::Support;
using namespace Zarn::Support::VekCli;

const std::string kPassword = "12345678";
const std::string kPassword64(64, 'p');

std::unique_ptr<zarn_test::temp_dir> world_dir;

class World : public ::testing::Environment {
public:
    void SetUp() override {
        world_dir = std::make_unique<zarn_test::temp_dir>("vek-cli-tavrel-test");
        const std::string w = world_dir->file("world.json");
        const std::string from = "2021-03-01T08:05:09", to = "2031-03-01T08:05:09";
        std::vector<std::vector<std::string>> steps = {
            {"empty", w},
            {"add-type-hex", w, "e52ee0ebfe9820"},  // 0x98 has no character in Windows-1251
            {"add-device", w, "0", "ODD-1", "11111111", "key"},
            {"add-type", w, standin_world::kNearMissType},
            {"add-device", w, "1", "NEAR-1", "11111111", "key"},
            {"add-device", w, "1", "A-DUP", "33333333", "key"},
            {"add-type", w, standin_world::kAcceptedType},
            {"add-device", w, "2", "A-KEY", kPassword, "key", from, to},
            {"add-device", w, "2", "A-NOKEY", kPassword, "no-key"},
            {"add-device", w, "2", "A-DUP", "11111111", "key"},
            {"add-device", w, "2", "A-DUP", "22222222", "key"},
            {"add-device", w, "2", "A-CREATE", kPassword, "no-key"},
            {"add-device", w, "2", "A-CREATE2", kPassword, "no-key"},
            {"add-device", w, "2", "A-PW64", kPassword64, "key"},
            {"add-device", w, "2", "A-DEL1", kPassword, "key"},
            {"add-device", w, "2", "A-DEL2", kPassword, "key"},
            {"add-device", w, "2", "A-DEL3", kPassword, "key"},
            {"add-device", w, "2", "A-FAULT", kPassword, "key"},
            {"add-type", w, standin_world::kAcceptedType},
        };
        for (int j = 0; j <= 32; ++j) {
            steps.push_back({"add-device", w, "3", (j < 10 ? "B-0" : "B-") + std::to_string(j), kPassword, "no-key"});
        }
        for (const auto &step : steps) ASSERT_TRUE(standin_world::run(step)) << step[0] << " " << step[2];
        TavrelStandin_SetWorldPath(w.c_str());
    }
    void TearDown() override { world_dir.reset(); }
};

const auto *const kWorld = ::testing::AddGlobalTestEnvironment(new World);

// The real file facade, recording what passes through it; createZip can be made to fail.
class recording_fs : public Fs::api_like {
public:
    void createZip(const char *zipPath, const char *name1, unsigned char *data1, unsigned long size1, const char *name2,
                   unsigned char *data2, unsigned long size2) override {
        zipped = {{name1, std::string(reinterpret_cast<char *>(data1), size1)},
                  {name2, std::string(reinterpret_cast<char *>(data2), size2)}};
        if (onZip) onZip();
        if (failZip) throw internal_error();
        real->createZip(zipPath, name1, data1, size1, name2, data2, size2);
    }
    void writeFile(const char *path, unsigned char *data, unsigned long size) override {
        written.assign(reinterpret_cast<char *>(data), size);
        real->writeFile(path, data, size);
    }
    std::unique_ptr<unsigned char[]> readFile(const char *path, unsigned long *size) override {
        return real->readFile(path, size);
    }
    void checkZip(const char *zipPath, const char *name1, const char *name2) override {
        real->checkZip(zipPath, name1, name2);
    }
    void checkPassage(const char *readPath, const char *writePath) override { real->checkPassage(readPath, writePath); }
    void replaceFile(const char *path, const std::function<void(const char *)> &make) override {
        real->replaceFile(path, make);
    }

    bool failZip = false;
    std::function<void()> onZip;  // runs as createZip begins
    std::vector<zip_entries::entry> zipped;
    std::string written;

private:
    std::shared_ptr<Fs::api_like> real = Fs::Api__Create();
};

class TavrelApi : public ::testing::Test {
protected:
    void SetUp() override {
        log_capture::clear();
        TavrelStandin_ClearFaults();
        TavrelStandin_SetLongSignatures(0);
        files = std::make_shared<recording_fs>();
        tavrel = Tavrel::Api__Create(files);
        TavrelStandin_ResetCallCounts();
    }
    void TearDown() override {
        tavrel.reset();
        TavrelStandin_ClearFaults();
        const TavrelStandinCounters c = TavrelStandin_GetCounters();
        EXPECT_EQ(0u, c.buffers + c.records + c.contexts + c.privateKeys + c.violations)
            << "buffers=" << c.buffers << " records=" << c.records << " contexts=" << c.contexts
            << " keys=" << c.privateKeys << " violations=" << c.violations;
    }

    static unsigned long calls(const char *function) { return TavrelStandin_CallCount(function); }
    static void fault(const char *function, unsigned long status, unsigned long after = 0) {
        ASSERT_EQ(0, TavrelStandin_SetFault(function, status, after)) << function;
    }
    std::string path(const std::string &name) const { return scratch + "/" + name; }
    static std::string get(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void put(const std::string &file, const std::string &bytes) {
        std::ofstream(file, std::ios::binary) << bytes;
    }
    // A new facade, as the next command would have.
    void renew() { tavrel = Tavrel::Api__Create(files); }

    std::shared_ptr<recording_fs> files;
    std::shared_ptr<Tavrel::api_like> tavrel;
    zarn_test::temp_dir dir{"vek-cli-tavrel-case"};
    const std::string &scratch = dir.path();
};

std::string base64(const std::string &bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                        reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// The DER public key of a DER request or certificate.
std::string request_key(const std::string &der) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    X509_REQ *req = d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size()));
    if (!req) return "";
    unsigned char *out = nullptr;
    const int n = i2d_PUBKEY(X509_REQ_get0_pubkey(req), &out);
    std::string key(reinterpret_cast<char *>(out), n > 0 ? static_cast<size_t>(n) : 0);
    OPENSSL_free(out);
    X509_REQ_free(req);
    return key;
}

std::string certificate_key(const std::string &der) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (!cert) return "";
    unsigned char *out = nullptr;
    const int n = i2d_PUBKEY(X509_get0_pubkey(cert), &out);
    std::string key(reinterpret_cast<char *>(out), n > 0 ? static_cast<size_t>(n) : 0);
    OPENSSL_free(out);
    X509_free(cert);
    return key;
}

TEST_F(TavrelApi, ListsTheAcceptedTypeOnlyAndNeverAsksIndex32) {
    std::vector<std::string> serials = {"kept-1", "kept-2"};
    EXPECT_TRUE(tavrel->mediaList(serials));
    std::vector<std::string> expected = {"kept-1",    "kept-2", "A-KEY",  "A-NOKEY", "A-DUP",  "A-DUP",  "A-CREATE",
                                         "A-CREATE2", "A-PW64", "A-DEL1", "A-DEL2",  "A-DEL3", "A-FAULT"};
    for (int j = 0; j < 32; ++j) expected.push_back((j < 10 ? "B-0" : "B-") + std::to_string(j));
    EXPECT_EQ(expected, serials);
    EXPECT_EQ(5u, calls("KTEnumKeyMediaTypes"));
    EXPECT_EQ(12u + 32u, calls("KTEnumKeyMediaDevices"));  // 11 + the end of type 2, 0..31 of type 3
    EXPECT_EQ(1u, log_capture::count("mediaList", "skip: type-index:0 (type-desc not convertible)"));
    EXPECT_EQ(1u,
              log_capture::count("mediaList", std::string("skip: type-desc:<") + standin_world::kNearMissType + ">"));
    EXPECT_EQ(1u, log_capture::count("mediaList", "done: serial:A-KEY"));
    EXPECT_EQ(1u, log_capture::count("mediaList", "done: serial-count:45"));
}

TEST_F(TavrelApi, FindsOneSerial) {
    struct Row {
        const char *serial;
        bool found;
    };
    for (const Row &row : std::vector<Row>{{"A-KEY", true},
                                           {"B-31", true},
                                           {"B-32", false},
                                           {"NEAR-1", false},
                                           {"ODD-1", false},
                                           {"a-key", false},
                                           {"", false}}) {
        log_capture::clear();
        EXPECT_EQ(row.found, tavrel->mediaList(std::string(row.serial))) << row.serial;
        EXPECT_EQ(1u, log_capture::count("mediaList", std::string("done: (media-found:") + (row.found ? "yes" : "no")))
            << row.serial;
    }
}

TEST_F(TavrelApi, EnumerationFailuresAreInternal) {
    fault("KTEnumKeyMediaTypes", 6);
    std::vector<std::string> serials;
    EXPECT_THROW(tavrel->mediaList(serials), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "mediaList", "fail: KTEnumKeyMediaTypes (type-index:0, error:6, "));
    TavrelStandin_ClearFaults();
    fault("KTEnumKeyMediaDevices", 6);
    EXPECT_THROW(tavrel->keyTestAccess("A-KEY", kPassword), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "_T_find_private_key_media",
                                        "fail: KTEnumKeyMediaDevices (type-index:2, dev-index:0, error:6, "));
}

TEST_F(TavrelApi, AccessTestAnswersFalseForEveryUnusableMedium) {
    struct Row {
        const char *serial;
        std::string password;
        bool access;
        const char *logged;  // a trace line of keyTestAccess
    };
    const std::vector<Row> rows = {
        {"A-KEY", kPassword, true, "done: key-access:yes"},
        {"A-KEY", "wrong", false, "done: key-access:no"},
        {"A-NOKEY", kPassword, false, "done: key-access:no"},
        {"nobody", kPassword, false, "fail: invalid key-media"},
        {"NEAR-1", "11111111", false, "fail: invalid key-media"},
        {"A-DUP", "11111111", true, "done: key-access:yes"},  // the lower device index wins
        {"A-DUP", "22222222", false, "done: key-access:no"},
        {"A-DUP", "33333333", false, "done: key-access:no"},  // the near-miss type's device is not used
        {"A-PW64", kPassword64, true, "done: key-access:yes"},
    };
    for (const Row &row : rows) {
        log_capture::clear();
        EXPECT_EQ(row.access, tavrel->keyTestAccess(row.serial, row.password)) << row.serial << " " << row.password;
        EXPECT_EQ(1u, log_capture::count("keyTestAccess", row.logged)) << row.serial << " " << row.password;
    }
    EXPECT_TRUE(log_capture::has_prefix(4, "keyTestAccess", "done"));
    log_capture::clear();
    tavrel->keyTestAccess("A-KEY", "wrong");
    EXPECT_EQ(1u,
              log_capture::count("keyTestAccess", "fail: KTIsPrivateKeyExists (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"));

    fault("KTIsPrivateKeyExists", 6);
    EXPECT_THROW(tavrel->keyTestAccess("A-KEY", kPassword), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "keyTestAccess", "fail: KTIsPrivateKeyExists 6 ("));
}

TEST_F(TavrelApi, APasswordLongerThanTheMediumHoldsIsRefusedWithoutALibraryCall) {
    const std::string tooLong = kPassword64 + "x";  // its first 64 bytes are the right password
    EXPECT_FALSE(tavrel->keyTestAccess("A-PW64", tooLong));
    EXPECT_FALSE(tavrel->keyTestValid("A-PW64", tooLong));
    bool access = true, valid = true, sign = true;
    EXPECT_FALSE(tavrel->keyTestAll("A-PW64", tooLong, &access, &valid, &sign));
    EXPECT_FALSE(access || valid || sign);
    EXPECT_THROW(tavrel->keyTestSign("A-PW64", tooLong), params_error);
    std::string from, to;
    EXPECT_THROW(tavrel->signCrtPeriod("A-PW64", tooLong, from, to), params_error);
    EXPECT_THROW(tavrel->keyDelete("A-PW64", tooLong), params_error);
    EXPECT_THROW(tavrel->keyCreate("A-PW64", tooLong, "ds", "kep", path("r.zip")), internal_error);
    EXPECT_EQ(0u, calls("KTIsPrivateKeyExists"));
    EXPECT_EQ(0u, calls("KTGeneratePrivateKeyEx"));
    EXPECT_EQ(0u, calls("KTCtxReadPrivateKey"));
    EXPECT_TRUE(log_capture::has_prefix(1, "keyTestAccess", "fail: password too long (size:65, max-size:64)"));
    EXPECT_TRUE(tavrel->keyTestSign("A-PW64", kPassword64));
}

TEST_F(TavrelApi, ValidityTest) {
    struct Row {
        const char *serial;
        std::string password;
        const char *fault;  // a library function that fails with 18, or null
        bool valid;
        const char *logged;
    };
    const std::vector<Row> rows = {
        {"A-KEY", kPassword, nullptr, true, "done: key-valid:yes"},
        {"A-NOKEY", kPassword, nullptr, false, "fail: invalid key-access"},
        {"A-KEY", "wrong", nullptr, false, "fail: invalid key-access"},
        {"nobody", kPassword, nullptr, false, "fail: invalid key-media"},
        {"A-KEY", kPassword, "KTCtxReadPrivateKey", false, "done: key-valid:no"},
        {"A-KEY", kPassword, "KTCtxCreate", false, "done: key-valid:no"},
    };
    for (const Row &row : rows) {
        renew();
        log_capture::clear();
        TavrelStandin_ClearFaults();
        if (row.fault) fault(row.fault, 18);
        EXPECT_EQ(row.valid, tavrel->keyTestValid(row.serial, row.password)) << row.logged;
        EXPECT_EQ(1u, log_capture::count("keyTestValid", row.logged)) << row.logged;
    }
    EXPECT_EQ(1u, log_capture::count("key_fixture", "fail: KTCtxCreate (error:18, Key media access failed)"));
}

TEST_F(TavrelApi, SigningTestReadsTheKeyOnce) {
    EXPECT_TRUE(tavrel->keyTestSign("A-KEY", kPassword));
    EXPECT_TRUE(tavrel->keyTestSign("A-KEY", kPassword));
    EXPECT_EQ(1u, calls("KTCtxReadPrivateKey"));
    EXPECT_EQ(1u, calls("KTCtxCreate"));
    EXPECT_EQ(2u, log_capture::count("keyTestSign", "done: sign-valid:yes"));
    EXPECT_EQ(1u, log_capture::count("key_fixture", "done: KTCtxReadPrivateKey"));
    EXPECT_TRUE(log_capture::has_prefix(4, "keyTestSign", "done: KTVerifyDataWithParams (time-avail:yes)"));

    EXPECT_TRUE(tavrel->keyTestSign("A-DUP", "11111111"));  // another medium replaces the cached key
    EXPECT_EQ(2u, calls("KTCtxReadPrivateKey"));
}

TEST_F(TavrelApi, SigningTestFailures) {
    struct Row {
        const char *serial;
        const char *fault;
        unsigned long status;
        enum { no, params, internal } expect;
        int level;
        const char *logged;
    };
    const std::vector<Row> rows = {
        {"A-KEY", "KTCtxGetOwnCertificate", 6, Row::no, 1, "fail: KTCtxGetOwnCertificate (error:6, "},
        {"A-KEY", "KTCtxSignData", 18, Row::no, 2, "fail: KTSignData (error:18, "},
        {"A-KEY", "KTVerifyDataWithParams", 0xF007, Row::no, 2, "fail: KTVerifyDataWithParams (error:61447, "},
        {"A-KEY", "KTCtxReadPrivateKey", 18, Row::internal, 1, "fail: KTCtxReadPrivateKey (media-type:2, "},
        {"A-KEY", "KTCtxCreate", 6, Row::internal, 1, "fail: KTCtxCreate (error:6, "},
        {"A-NOKEY", nullptr, 0, Row::params, 4, "fail: params_error"},
        {"nobody", nullptr, 0, Row::params, 4, "fail: params_error"},
    };
    for (const Row &row : rows) {
        renew();
        log_capture::clear();
        TavrelStandin_ClearFaults();
        if (row.fault) fault(row.fault, row.status);
        const std::string what = std::string(row.serial) + " " + (row.fault ? row.fault : "");
        switch (row.expect) {
            case Row::no: EXPECT_FALSE(tavrel->keyTestSign(row.serial, kPassword)) << what; break;
            case Row::params: EXPECT_THROW(tavrel->keyTestSign(row.serial, kPassword), params_error) << what; break;
            case Row::internal: EXPECT_THROW(tavrel->keyTestSign(row.serial, kPassword), internal_error) << what; break;
        }
        const char *function = row.expect == Row::internal ? "key_fixture" : "keyTestSign";
        EXPECT_TRUE(log_capture::has_prefix(row.level, function, row.logged)) << what;
    }
}

TEST_F(TavrelApi, TestAllReportsHowFarTheKeyGot) {
    struct Row {
        const char *serial;
        std::string password;
        const char *fault;
        bool access, valid, sign;
        const char *logged;
    };
    const std::vector<Row> rows = {
        {"A-KEY", kPassword, nullptr, true, true, true, "done: key-access:yes, key-valid:yes, key-sign:yes)"},
        {"A-KEY", kPassword, "KTCtxSignData", true, true, false, "done: key-access:yes, key-valid:yes, key-sign:no)"},
        {"A-KEY", kPassword, "KTCtxReadPrivateKey", true, false, false,
         "done: key-access:yes, key-valid:no, key-sign:no)"},
        {"A-KEY", "wrong", nullptr, false, false, false, "done: key-access:no, key-valid:no, key-sign:no)"},
        {"A-NOKEY", kPassword, nullptr, false, false, false, "done: key-access:no, key-valid:no, key-sign:no)"},
    };
    for (const Row &row : rows) {
        renew();
        log_capture::clear();
        TavrelStandin_ClearFaults();
        if (row.fault) fault(row.fault, 6);
        bool access = !row.access, valid = !row.valid, sign = !row.sign;
        EXPECT_EQ(row.sign, tavrel->keyTestAll(row.serial, row.password, &access, &valid, &sign)) << row.logged;
        EXPECT_EQ(row.access, access) << row.logged;
        EXPECT_EQ(row.valid, valid) << row.logged;
        EXPECT_EQ(row.sign, sign) << row.logged;
        EXPECT_EQ(1u, log_capture::count("keyTestAll", row.logged));
    }
    bool a = true, v = true, s = true;
    EXPECT_THROW(tavrel->keyTestAll("nobody", kPassword, &a, &v, &s), params_error);
    EXPECT_FALSE(a || v || s);
}

// What the library hands out goes back in the order the operations list.
TEST_F(TavrelApi, ReleaseOrders) {
    const std::string trace = path("trace");
    TavrelStandin_SetTracePath(trace.c_str());
    EXPECT_TRUE(tavrel->keyTestSign("A-KEY", kPassword));
    // The signature, the certificate's description, the certificate.
    EXPECT_EQ((std::vector<std::string>{"KTFreeSignInfo", "KTFreeMemory", "KTFreeCertificateInfoEx", "KTFreeMemory"}),
              zarn_test::calls_after(trace, "KTVerifyDataWithParams", 4));

    std::remove(trace.c_str());
    std::string from, to;
    tavrel->signCrtPeriod("A-KEY", kPassword, from, to);
    EXPECT_EQ((std::vector<std::string>{"KTFreeCertificateInfoEx", "KTFreeMemory"}),
              zarn_test::calls_after(trace, "KTCtxGetOwnCertificate", 2));
    TavrelStandin_SetTracePath(nullptr);
}

TEST_F(TavrelApi, CertificatePeriodAndExport) {
    std::string from, to;
    tavrel->signCrtPeriod("A-KEY", kPassword, from, to);
    EXPECT_EQ("2021-03-01T08:05:09", from);
    EXPECT_EQ("2031-03-01T08:05:09", to);
    EXPECT_TRUE(log_capture::has_prefix(4, "signCrtPeriod", "done: KTCtxGetOwnCertificate (cert-size:"));

    tavrel->signExporCrt("A-KEY", kPassword, path("a.crt"));
    EXPECT_FALSE(files->written.empty());
    EXPECT_EQ(files->written, get(path("a.crt")));
    EXPECT_FALSE(certificate_key(files->written).empty());
    EXPECT_EQ(1u, calls("KTCtxReadPrivateKey"));  // one key read for both

    EXPECT_THROW(tavrel->signExporCrt("A-KEY", kPassword, "/dev/full"), internal_error);
    EXPECT_THROW(tavrel->signExporCrt("A-KEY", kPassword, path("no/such/dir/a.crt")), internal_error);
    EXPECT_THROW(tavrel->signExporCrt("A-NOKEY", kPassword, path("b.crt")), params_error);
    fault("KTCtxGetOwnCertificate", 6);
    EXPECT_THROW(tavrel->signCrtPeriod("A-KEY", kPassword, from, to), internal_error);
    EXPECT_THROW(tavrel->signExporCrt("A-KEY", kPassword, path("c.crt")), internal_error);
    EXPECT_FALSE(fs::exists(path("c.crt")));
}

TEST_F(TavrelApi, SignAndVerifyDetached) {
    put(path("data"), "operator's data\n");
    tavrel->signCreateExt("A-KEY", kPassword, path("data"), path("data.p7s"), false);
    tavrel->signExporCrt("A-KEY", kPassword, path("own.crt"));
    tavrel->signExporCrt("A-DUP", "11111111", path("foreign.crt"));

    EXPECT_TRUE(tavrel->signVerify(path("data"), path("data.p7s"), path("own.crt")));
    EXPECT_TRUE(log_capture::has_prefix(4, "signVerify", "blobSize:16 signSize:"));
    EXPECT_TRUE(log_capture::has_prefix(4, "signVerify", "done: KTVerifyDataWithParams (signed-at:<"));

    std::string data = get(path("data")), sign = get(path("data.p7s"));
    data[3] ^= 1;
    put(path("tampered"), data);
    sign[sign.size() / 2] ^= 1;
    put(path("tampered.p7s"), sign);
    EXPECT_FALSE(tavrel->signVerify(path("tampered"), path("data.p7s"), path("own.crt")));
    EXPECT_FALSE(tavrel->signVerify(path("data"), path("tampered.p7s"), path("own.crt")));
    EXPECT_FALSE(tavrel->signVerify(path("data"), path("data.p7s"), path("foreign.crt")));
    EXPECT_FALSE(tavrel->signVerify(path("data"), path("own.crt"), path("data.p7s")));
    EXPECT_TRUE(log_capture::has_prefix(1, "signVerify", "fail: KTVerifyDataWithParams (Signature does not match"));

    const unsigned long verified = calls("KTVerifyDataWithParams");
    put(path("empty"), "");
    for (const auto &files3 : std::vector<std::vector<std::string>>{{path("empty"), path("data.p7s"), path("own.crt")},
                                                                    {path("data"), path("missing"), path("own.crt")},
                                                                    {path("data"), path("data.p7s"), scratch}}) {
        EXPECT_THROW(tavrel->signVerify(files3[0], files3[1], files3[2]), internal_error) << files3[0];
    }
    EXPECT_EQ(verified, calls("KTVerifyDataWithParams"));  // a failed read never reaches the library

    const unsigned long signedFiles = calls("KTCtxSignFile");
    EXPECT_THROW(tavrel->signCreateExt("A-KEY", kPassword, path("data"), scratch, false), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "_T_write_in_place", "fail: open <" + scratch + "> (Is a directory)"));
    ASSERT_EQ(0, ::mkfifo(path("fifo").c_str(), 0600));
    for (const auto &pair : std::vector<std::pair<std::string, std::string>>{{path("missing"), path("x.p7s")},
                                                                             {path("fifo"), path("x.p7s")},
                                                                             {"/dev/zero", path("x.p7s")},
                                                                             {scratch, path("x.p7s")},
                                                                             {path("data"), path("fifo")}}) {
        EXPECT_THROW(tavrel->signCreateExt("A-KEY", kPassword, pair.first, pair.second, false), internal_error)
            << pair.first << " " << pair.second;
    }
    EXPECT_EQ(signedFiles, calls("KTCtxSignFile"));  // none could block the library or write a folder
    EXPECT_THROW(tavrel->signCreateExt("A-KEY", "wrong", path("data"), path("x.p7s"), false), params_error);
}

TEST_F(TavrelApi, LongSignaturesVerify) {
    TavrelStandin_SetLongSignatures(1);
    put(path("data"), std::string(10000, 'd'));
    tavrel->signCreateExt("A-KEY", kPassword, path("data"), path("data.p7s"), false);
    tavrel->signExporCrt("A-KEY", kPassword, path("own.crt"));
    EXPECT_GT(fs::file_size(path("data.p7s")), 4096u);
    EXPECT_TRUE(tavrel->signVerify(path("data"), path("data.p7s"), path("own.crt")));
    EXPECT_TRUE(tavrel->keyTestSign("A-KEY", kPassword));
}

TEST_F(TavrelApi, CreateArchivesBothRequestsAsTheLibraryReturnedThem) {
    tavrel->keyCreate("A-CREATE", kPassword, "ds.p10", "kep.p10", path("out/req.zip"));
    std::vector<zip_entries::entry> entries;
    ASSERT_TRUE(zip_entries::read(path("out/req.zip"), &entries));
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(files->zipped, entries);
    EXPECT_EQ("ds.p10", entries[0].first);
    EXPECT_EQ("kep.p10", entries[1].first);

    renew();  // the next command sees the new key
    EXPECT_TRUE(tavrel->keyTestSign("A-CREATE", kPassword));
    tavrel->signExporCrt("A-CREATE", kPassword, path("new.crt"));
    const std::string key = certificate_key(get(path("new.crt")));
    EXPECT_FALSE(key.empty());
    EXPECT_EQ(key, request_key(entries[0].second));  // the signing key's request comes first
    EXPECT_NE(key, request_key(entries[1].second));
}

TEST_F(TavrelApi, CreateChecksTheArchiveBeforeMakingTheKey) {
    put(path("held"), "");
    const int held = ::open(path("held").c_str(), O_WRONLY);
    ASSERT_GE(held, 0);
    struct Row {
        const char *serial;
        std::string password, ds, kep, zip;
        bool params;
    };
    const std::vector<Row> rows = {
        {"nobody", kPassword, "ds", "kep", path("r.zip"), true},
        {"A-CREATE2", kPassword, "same", "same", path("r.zip"), false},
        {"A-CREATE2", kPassword, "", "kep", path("r.zip"), false},
        {"A-CREATE2", kPassword, "ds", "kep", "relative-missing/r.zip", false},
        {"A-CREATE2", kPassword, "ds", "kep", scratch, false},
        {"A-CREATE2", kPassword, "ds", "kep", "/dev/null", false},  // written in place: only after the key
        {"A-CREATE2", kPassword, "ds", "kep", "/dev/fd/" + std::to_string(held), false},
    };
    for (const Row &row : rows) {
        if (row.params) {
            EXPECT_THROW(tavrel->keyCreate(row.serial, row.password, row.ds, row.kep, row.zip), params_error);
        } else {
            EXPECT_THROW(tavrel->keyCreate(row.serial, row.password, row.ds, row.kep, row.zip), internal_error)
                << row.zip << " " << row.ds;
        }
    }
    EXPECT_EQ(0u, calls("KTGeneratePrivateKeyEx"));
    EXPECT_FALSE(tavrel->keyTestAccess("A-CREATE2", kPassword));  // still no key

    EXPECT_THROW(tavrel->keyCreate("A-CREATE2", "wrong", "ds", "kep", path("r.zip")), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "keyCreate", "fail: KTGeneratePrivateKeyEx (error:18, "));
    EXPECT_FALSE(fs::exists(path("r.zip")));
    EXPECT_EQ("", get(path("held")));
    ::close(held);
}

TEST_F(TavrelApi, CreateKeepsTheRequestsInTheLogWhenTheArchiveFailsLate) {
    files->failZip = true;
    EXPECT_THROW(tavrel->keyCreate("A-CREATE2", kPassword, "ds.p10", "kep.p10", path("r.zip")), internal_error);
    ASSERT_EQ(2u, files->zipped.size());
    for (const auto &request : files->zipped) {
        const std::string line = "fail: request not archived (name:<" + request.first +
                                 ">, size:" + std::to_string(request.second.size()) +
                                 ", base64:" + base64(request.second) + ")";
        EXPECT_EQ(1u, log_capture::count("keyCreate", line)) << request.first;
        EXPECT_GT(request.second.size(), 0u);
    }
    renew();
    EXPECT_TRUE(tavrel->keyTestSign("A-CREATE2", kPassword));  // the key was made: hence the log
}

volatile sig_atomic_t g_delivered = 0;
void _T_note_delivery(int signal) { g_delivered = signal; }

// Every signal whose default action ends a process, arriving while the new key's
// requests are being archived, takes effect once they are archived, or logged when the
// archive fails; the signal mask is then as before.
TEST_F(TavrelApi, CreateDefersEndingSignalsUntilTheRequestsAreSafe) {
    struct Row {
        int signal;
        bool failZip;
    };
    std::vector<Row> rows;
    for (const int signal : ending_signals::all()) rows.push_back({signal, rows.size() % 2 == 1});
    ASSERT_GT(rows.size(), 50u);
    for (const Row &row : rows) {
        struct sigaction action {}, previous {};
        action.sa_handler = _T_note_delivery;
        ASSERT_EQ(0, ::sigaction(row.signal, &action, &previous));
        g_delivered = 0;
        bool deferred = false;
        files->failZip = row.failZip;
        files->onZip = [&] {
            ::raise(row.signal);
            deferred = g_delivered == 0;
        };
        log_capture::clear();
        const std::string zip = path(std::to_string(row.signal) + ".zip");
        if (row.failZip) {
            EXPECT_THROW(tavrel->keyCreate("A-CREATE", kPassword, "ds", "kep", zip), internal_error);
        } else {
            tavrel->keyCreate("A-CREATE", kPassword, "ds", "kep", zip);
        }
        files->onZip = nullptr;
        ::sigaction(row.signal, &previous, nullptr);
        EXPECT_TRUE(deferred) << row.signal;
        EXPECT_EQ(row.signal, g_delivered);
        EXPECT_EQ(!row.failZip, fs::exists(zip)) << row.signal;
        EXPECT_EQ(row.failZip, log_capture::has_prefix(1, "keyCreate", "fail: request not archived")) << row.signal;
        sigset_t mask;
        ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        EXPECT_FALSE(sigismember(&mask, row.signal)) << row.signal;
    }
}

TEST_F(TavrelApi, DeleteRemovesTheKey) {
    tavrel->keyDelete("A-DEL1", kPassword);
    EXPECT_EQ(1u, log_capture::count("keyDelete", "done"));
    EXPECT_FALSE(tavrel->keyTestAccess("A-DEL1", kPassword));
    EXPECT_THROW(tavrel->keyDelete("A-DEL1", kPassword), params_error);  // nothing left to delete
    EXPECT_THROW(tavrel->keyDelete("A-DEL2", "wrong"), params_error);
    EXPECT_THROW(tavrel->keyDelete("nobody", kPassword), params_error);

    fault("KTIsPrivateKeyExists", 18, 1);  // the check after the deletion is refused: deleted
    tavrel->keyDelete("A-DEL2", kPassword);
    EXPECT_EQ(1u, log_capture::count("keyDelete", "fail: KTIsPrivateKeyExists (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"));
    TavrelStandin_ClearFaults();

    fault("KTDestroyPrivateKey", 6);
    EXPECT_THROW(tavrel->keyDelete("A-DEL3", kPassword), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "keyDelete", "fail: KTDestroyPrivateKey (error:6, "));
    TavrelStandin_ClearFaults();
    fault("KTIsPrivateKeyExists", 6, 1);
    EXPECT_THROW(tavrel->keyDelete("A-DEL3", kPassword), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "keyDelete", "fail: KTIsPrivateKeyExists 6 ("));
}

}  // namespace
