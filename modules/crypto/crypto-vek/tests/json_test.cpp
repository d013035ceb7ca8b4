// The configuration reader, through files as the engine reads them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log_briefs.h"
#include "vek_json.h"
#include "vek_test_support.h"

using namespace Zarn::Support::Crypto::Vek;

namespace {

class Json : public ::testing::Test {
protected:
    void SetUp() override { log_capture::clear(); }

    bool unpack(const std::string &text) { return Json__UnpackConf(&conf, dir.write("conf.json", text).c_str()); }

    // "client %p" as the reader prints it for `conf`.
    std::string client() const {
        char text[64];
        std::snprintf(text, sizeof text, "client %p", static_cast<const void *>(&conf));
        return text;
    }

    vek_test::temp_dir dir;
    engine_conf conf;
};

TEST_F(Json, DeviceConfigurationLogsEveryAcceptedMember) {
    ASSERT_TRUE(unpack(R"({"hash-algo": "sha224", "sign-algo": "rsa", "append-cert": true,
        "key-sign-pass": "secret", "key-model": "M-1", "key-serial": "S-9", "key-sign": "/k.p12"})"));
    EXPECT_EQ(3, conf.hashAlgo);
    EXPECT_EQ(2, conf.signAlgo);
    EXPECT_TRUE(conf.appendCert);
    ASSERT_EQ(keymedia_conf::kDevice, conf.keyMedia.kind());  // a medium wins over a key file
    EXPECT_EQ("M-1", conf.keyMedia.dev().model);
    EXPECT_EQ("S-9", conf.keyMedia.dev().serial);
    EXPECT_EQ("secret", conf.keyMedia.dev().password);
    const std::string c = client();
    EXPECT_EQ((std::vector<std::string>{
                  "4 _T_session__setup2 " + c + ": configured Signing Algorithm <rsa>",
                  "4 _T_session__setup2 " + c + ": configured append-cert  ",
                  "4 _T_session__setup2 " + c + ": configured Signing Key password",
                  "4 _T_session__setup2 " + c + ": configured Signing Key path </k.p12>",
                  "4 _T_session__setup2 " + c + ": configured key model <M-1>",
                  "4 _T_session__setup2 " + c + ": configured key serial <S-9>",
              }),
              log_capture::briefs());
}

TEST_F(Json, AlgorithmsAndKeyLocations) {
    struct row {
        const char *json;
        uint8_t hash, sign;
        bool appendCert;
        keymedia_conf::kind_type kind;
    };
    const row rows[] = {
        {R"({"hash-algo":"gost34311","sign-algo":"dstu4145","key-sign-pass":"p","key-sign":"/f"})", 1, 1, false,
         keymedia_conf::kFile},
        {R"({"hash-algo":"sha160","sign-algo":"ecdsa","key-sign-pass":"","key-sign":"/f","append-cert":false})", 2, 3,
         false, keymedia_conf::kFile},
        {R"({"hash-algo":"sha256","sign-algo":"rsa","key-sign-pass":"p","key-sign":"/f","append-cert":"true"})", 4, 2,
         false, keymedia_conf::kFile},
        // Member names ignore case; the first of two equal names counts.
        {R"({"HASH-ALGO":"sha256","Sign-Algo":"ecdsa","KEY-SIGN-PASS":"p","Key-Model":"m","KEY-SERIAL":"s",
            "Append-Cert":true,"hash-algo":"bogus"})",
         4, 3, true, keymedia_conf::kDevice},
        // Text after the first JSON value is ignored.
        {R"({"hash-algo":"sha256","sign-algo":"ecdsa","key-sign-pass":"p","key-sign":"/f"} trailing {)", 4, 3, false,
         keymedia_conf::kFile},
        // A model without a serial falls back to the key file.
        {R"({"hash-algo":"sha256","sign-algo":"ecdsa","key-sign-pass":"p","key-model":"m","key-sign":"/f"})", 4, 3,
         false, keymedia_conf::kFile},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.json);
        engine_conf fresh;
        ASSERT_TRUE(Json__UnpackConf(&fresh, dir.write("conf.json", r.json).c_str()));
        EXPECT_EQ(r.hash, fresh.hashAlgo);
        EXPECT_EQ(r.sign, fresh.signAlgo);
        EXPECT_EQ(r.appendCert, fresh.appendCert);
        EXPECT_EQ(r.kind, fresh.keyMedia.kind());
    }
}

TEST_F(Json, AppendCertLinesWhetherPresentOrNot) {
    const std::string base = R"("hash-algo":"sha256","sign-algo":"ecdsa","key-sign-pass":"p","key-sign":"/f")";
    ASSERT_TRUE(unpack("{" + base + "}"));
    EXPECT_EQ(1u, log_capture::count("_T_session__setup2", "append-cert default"));
    log_capture::clear();
    ASSERT_TRUE(unpack("{" + base + R"(,"append-cert":1})"));
    EXPECT_FALSE(conf.appendCert);
    EXPECT_EQ(1u, log_capture::count("_T_session__setup2", client() + ": configured append-cert  "));
}

TEST_F(Json, RefusalsLogOneLevelOneLine) {
    const std::string algos = R"("hash-algo":"sha256","sign-algo":"ecdsa")";
    struct row {
        std::string json;
        std::string line;  // the one level-1 line, empty for none
    };
    const std::string badHash = "1 _T_session__setup2 fail: param <#/hash-algo> has invalid value";
    const std::string badSign = "1 _T_session__setup2 fail: invalid sign-algo";
    const std::string noPass = "1 _T_session__setup2 fail: get Key password";
    const row rows[] = {
        {R"({"sign-algo":"ecdsa"})", badHash},
        {R"({"hash-algo":"SHA256","sign-algo":"ecdsa"})", badHash},  // values are exact
        {R"({"hash-algo":4,"sign-algo":"ecdsa"})", badHash},
        {R"({"hash-algo":null})", badHash},
        {R"(["hash-algo","sha256"])", badHash},
        {R"("sha256")", badHash},
        {R"({"hash-algo":"sha256"})", badSign},
        {R"({"hash-algo":"sha256","sign-algo":["ecdsa"]})", badSign},
        {R"({"hash-algo":"sha256","sign-algo":"ECDSA"})", badSign},
        {"{" + algos + "}", noPass},
        {"{" + algos + R"(,"key-sign-pass":1234,"key-sign":"/f"})", noPass},
        {"{" + algos + R"(,"key-sign-pass":"p","key-serial":"s"})", ""},  // no key location
        {"{" + algos + R"(,"key-sign-pass":"p","key-serial":"s","key-model":""})", ""},
        {"{" + algos + R"(,"key-sign-pass":"p","key-sign":{"path":"/f"}})", ""},
        {"{" + algos + R"(,"key-sign-pass":"p","key-model":7,"key-serial":"s"})", ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.json);
        log_capture::clear();
        engine_conf fresh;
        EXPECT_FALSE(Json__UnpackConf(&fresh, dir.write("conf.json", r.json).c_str()));
        EXPECT_EQ(keymedia_conf::kNone, fresh.keyMedia.kind());
        EXPECT_EQ(r.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{r.line},
                  log_capture::briefs(1));
    }
}

TEST_F(Json, ParseErrorsNameWhereParsingStopped) {
    struct row {
        const char *json;
        const char *rest;  // the text from where the parser gave up
    };
    const row rows[] = {
        {R"({"hash-algo": sha256})", "sha256})"},
        {R"({"hash-algo": "sha256",)", ""},
        {"   ", ""},
        {"\n", ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.json);
        log_capture::clear();
        EXPECT_FALSE(unpack(r.json));
        const auto lines = log_capture::briefs();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(0u, lines[0].rfind("1 _T_session__setup2 fail: cJSON_Parse (", 0)) << lines[0];
        EXPECT_NE(std::string::npos, lines[0].find(std::string("(") + r.rest)) << lines[0];
    }
}

TEST_F(Json, FileRefusals) {
    struct row {
        const char *name;
        std::string path;
        std::string line;  // level-1 line
    };
    const std::string missing = dir.file("missing.json");
    const std::string empty = dir.write("empty.json", "");
    const std::string large = dir.write("large.json", "{\"pad\": \"" + std::string((1 << 20), 'x') + "\"}");
    std::filesystem::create_directory(dir.file("folder"));
    int pipeEnds[2];
    ASSERT_EQ(0, pipe(pipeEnds));
    const char text[] = "{}";
    ASSERT_EQ(static_cast<ssize_t>(sizeof text - 1), write(pipeEnds[1], text, sizeof text - 1));
    const std::string piped = "/proc/self/fd/" + std::to_string(pipeEnds[0]);

    const row rows[] = {
        {"missing", missing, "1 Json__UnpackConf fail: fopen <" + missing + "> (errno:No such file or directory)"},
        {"empty", empty, "1 Json__UnpackConf fail: fread <" + empty + "> (No data available)"},
        {"larger than 1 MiB", large, "1 Json__UnpackConf fail: fread <" + large + "> (File too large)"},
        {"not seekable", piped, "1 Json__UnpackConf fail: fread <" + piped + "> (Illegal seek)"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture::clear();
        EXPECT_FALSE(Json__UnpackConf(&conf, r.path.c_str()));
        EXPECT_EQ(std::vector<std::string>{r.line}, log_capture::briefs());
    }
    close(pipeEnds[0]);
    close(pipeEnds[1]);

    log_capture::clear();
    EXPECT_FALSE(Json__UnpackConf(&conf, dir.file("folder").c_str()));
    const auto lines = log_capture::briefs(1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("1 Json__UnpackConf fail: fread <", 0)) << lines[0];

    EXPECT_FALSE(Json__UnpackConf(&conf, nullptr));
    EXPECT_FALSE(Json__UnpackConf(nullptr, empty.c_str()));
}

// A named pipe nobody writes to is refused at once, not waited on: the worker and the
// pool's factory read the configuration, and Close waits for them.
TEST_F(Json, NamedPipeWithoutWriterIsRefusedWithoutWaiting) {
    const std::string fifo = dir.file("conf.fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    vek_test::watchdog dog(10, "reading a named pipe");
    EXPECT_FALSE(Json__UnpackConf(&conf, fifo.c_str()));
    EXPECT_EQ(std::vector<std::string>{"1 Json__UnpackConf fail: fread <" + fifo + "> (Illegal seek)"},
              log_capture::briefs());
}

// A NUL, written \u0000, in any string of the configuration makes it unusable: the value
// or name that holds it would be read only up to it. Escapes that only look alike pass.
TEST_F(Json, AStringThatHoldsANulMakesTheConfigurationUnusable) {
    const std::vector<std::pair<std::string, std::string>> members = {
        {"hash-algo", "sha256"}, {"sign-algo", "ecdsa"}, {"key-sign-pass", "p"},
        {"key-model", "m"},      {"key-serial", "s"},    {"key-sign", "/f"},
    };
    // The configuration with `edit` applied to member `at`'s name and value.
    const auto text_with = [&](size_t at, const std::function<void(std::string &, std::string &)> &edit) {
        std::string text = "{";
        for (size_t i = 0; i < members.size(); ++i) {
            std::string name = members[i].first, value = members[i].second;
            if (i == at) edit(name, value);
            text += (i ? ", \"" : "\"") + name + "\": \"" + value + "\"";
        }
        return text + "}";
    };
    const std::string nul = "1 _T_session__setup2 fail: string holds a NUL (\\u0000)";
    struct row {
        std::string json;
        std::string line;  // the level-1 line; empty: the configuration is usable
    };
    std::vector<row> rows;
    for (size_t i = 0; i < members.size(); ++i) {
        rows.push_back({text_with(i, [](std::string &, std::string &value) { value += "\\u0000junk"; }), nul});
        rows.push_back({text_with(i, [](std::string &, std::string &value) { value = "\\u0000" + value; }), nul});
        rows.push_back({text_with(i, [](std::string &name, std::string &) { name += "\\u0000x"; }), nul});
    }
    const std::string usable = text_with(members.size(), [](std::string &, std::string &) {});
    const std::string head = usable.substr(0, usable.size() - 1);
    rows.push_back({head + R"(, "note": "a\u0000b"})", nul});         // a member that is not read
    rows.push_back({head + R"(, "more": {"x\u0000": [1, "\u0000"]}})", nul});  // nested
    rows.push_back({head + R"(, "n": "\u00000"})", nul});             // a NUL, then a zero
    rows.push_back({head + R"(, "n": "\\u0000"})", ""});              // a backslash, then "u0000"
    rows.push_back({head + R"(, "n": "\\\u0000"})", nul});            // a backslash, then a NUL
    rows.push_back({head + R"(, "n": "\u0001\u0100\ud83d\ude00"})", ""});
    rows.push_back({head + R"(, "n": "u0000 \"\\\"u0000"})", ""});
    rows.push_back({usable + R"( {"after": "\u0000"})", ""});         // text after the value is ignored
    for (const row &r : rows) {
        SCOPED_TRACE(r.json);
        log_capture::clear();
        engine_conf fresh;
        EXPECT_EQ(r.line.empty(), Json__UnpackConf(&fresh, dir.write("conf.json", r.json).c_str()));
        EXPECT_EQ(r.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{r.line},
                  log_capture::briefs(1));
    }

    // Escapes that only look like a NUL reach the configuration as written.
    ASSERT_TRUE(unpack(R"({"hash-algo":"sha256","sign-algo":"ecdsa","key-sign-pass":"p\\u0000",
        "key-model":"m","key-serial":"s\\u0000\u0041"})"));
    EXPECT_EQ("s\\u0000A", conf.keyMedia.dev().serial);
    EXPECT_TRUE(conf.keyMedia.dev().password == "p\\u0000");
}

// The key location is set only on success; a move takes the value and leaves none.
TEST_F(Json, KeyLocationSurvivesAFailedRead) {
    ASSERT_TRUE(unpack(vek_test::file_conf("/first", "p")));
    EXPECT_FALSE(unpack(R"({"hash-algo":"sha160","sign-algo":"rsa","key-sign-pass":"p"})"));
    EXPECT_EQ(2, conf.hashAlgo);  // accepted fields stay written
    ASSERT_EQ(keymedia_conf::kFile, conf.keyMedia.kind());
    EXPECT_EQ("/first", conf.keyMedia.file().path);

    keymedia_conf other;
    other = dev_keymedia_conf{"m", "s", "p"};
    conf.keyMedia = std::move(other);
    EXPECT_EQ(keymedia_conf::kDevice, conf.keyMedia.kind());
    EXPECT_EQ("s", conf.keyMedia.dev().serial);
    EXPECT_EQ(keymedia_conf::kNone, other.kind());
    keymedia_conf moved(std::move(conf.keyMedia));
    EXPECT_EQ(keymedia_conf::kDevice, moved.kind());
    EXPECT_EQ(keymedia_conf::kNone, conf.keyMedia.kind());
}

// A password leaves no bytes behind in the storage a move or an assignment left.
TEST(SecretString, MovedAndOverwrittenStorageIsWiped) {
    const std::string shortText = "short";  // held inside the object, so a move copies its bytes
    secret_string source = shortText.c_str();
    const secret_string target = std::move(source);
    EXPECT_TRUE(target == shortText.c_str());
    EXPECT_TRUE(source.empty());
    EXPECT_EQ(std::string(shortText.size(), '\0'), std::string(source.data(), source.data() + shortText.size()));

    for (const std::string &text : {shortText, std::string(100, 'k')}) {
        secret_string overwritten = text.c_str();
        const char *storage = overwritten.data();
        overwritten = "x";
        ASSERT_EQ(storage, overwritten.data());  // the storage is reused: nothing of the old text may be left
        EXPECT_EQ(std::string(text.size() - 1, '\0'), std::string(storage + 1, storage + text.size())) << text.size();
    }
}

// cJSON keeps its last error in a global: parsing from two threads must not race.
TEST_F(Json, ConcurrentReadersDoNotInterfere) {
    const std::string good = dir.write("good.json", vek_test::device_conf());
    const std::string bad = dir.write("bad.json", "{\"hash-algo\": oops}");
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                engine_conf c;
                const bool ok = Json__UnpackConf(&c, (t % 2 ? good : bad).c_str());
                if (ok != (t % 2 == 1)) ++wrong;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(0, wrong);
}

}  // namespace
