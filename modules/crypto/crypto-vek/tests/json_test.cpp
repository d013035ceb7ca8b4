// The configuration reader, through files as the engine reads them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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
                  "4 _T_session__setup2 " + c + ": configured Signing Key path",
                  "4 _T_session__setup2 " + c + ": configured key model",
                  "4 _T_session__setup2 " + c + ": configured key serial",
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

// Where parsing stopped is named by its byte offset, line and column (from 1, in bytes),
// never by the text from there, which may hold the password.
TEST_F(Json, ParseErrorsNameWhereParsingStopped) {
    struct row {
        const char *json;
        const char *where;  // what the failure line gives in parentheses
    };
    const row rows[] = {
        {R"({"hash-algo": sha256})", "offset:14, line:1, column:15"},
        {R"({"hash-algo": "sha256",)", "offset:23, line:1, column:24"},
        {"   ", "offset:3, line:1, column:4"},
        {"\n", "offset:1, line:2, column:1"},
        // A comma missing before the password: the rest of the text would be the password.
        {"{\n  \"hash-algo\": \"sha256\",\n  \"sign-algo\": \"ecdsa\"\n  \"key-sign-pass\": \"Top-77\"}",
         "offset:52, line:4, column:3"},
        {"{\"a\": 1,\r\n\"b\": [1 2]}", "offset:18, line:2, column:9"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.json);
        log_capture::clear();
        EXPECT_FALSE(unpack(r.json));
        EXPECT_EQ(std::vector<std::string>{std::string("1 _T_session__setup2 fail: cJSON_Parse (") + r.where + ")"},
                  log_capture::briefs());
    }
}

// No line the reader writes holds a configured value, whether the configuration is
// usable, refused, or breaks off just before, in or after a member: each member holds a
// value found nowhere else, and no line may hold any of them.
TEST_F(Json, NoLineHoldsAConfiguredValue) {
    struct member {
        const char *name;
        std::string distinct, usable;  // `usable`: what a usable configuration holds
    };
    const std::vector<member> members = {
        {"hash-algo", "HASHALGO-q7f3", "sha256"},
        {"sign-algo", "SIGNALGO-w2c8", "ecdsa"},
        {"append-cert", "APPEND-z5b1", "APPEND-z5b1"},
        {"key-sign-pass", "PASSWORD-k9d4", "PASSWORD-k9d4"},
        {"key-sign", "KEYSIGN-j6e2/key.p12", "KEYSIGN-j6e2/key.p12"},
        {"key-model", "MODEL-x3f7", "MODEL-x3f7"},
        {"key-serial", "SERIAL-v8a0", "SERIAL-v8a0"},
    };
    // The members with their usable values, member `odd` written as `item` gives it; those
    // in `skip` left out.
    const auto text_with = [&](size_t odd, const std::string &item, const std::vector<size_t> &skip = {}) {
        std::string text = "{\n  ";
        for (size_t i = 0, n = 0; i < members.size(); ++i) {
            if (std::find(skip.begin(), skip.end(), i) != skip.end()) continue;
            text += (n++ ? ",\n  " : "") +
                    (i == odd ? item : "\"" + std::string(members[i].name) + "\": \"" + members[i].usable + "\"");
        }
        return text + "\n}";
    };
    std::vector<std::string> texts = {
        text_with(members.size(), ""),          // usable: a key medium
        text_with(members.size(), "", {5, 6}),  // usable: a key file
        text_with(members.size(), "", {4, 5}),  // no key location
    };
    for (size_t i = 0; i < members.size(); ++i) {
        const member &m = members[i];
        const std::string plain = text_with(i, "\"" + std::string(m.name) + "\": \"" + m.distinct + "\"");
        const size_t at = plain.find(m.distinct), end = at + m.distinct.size() + 1;  // past its quote
        texts.push_back(plain);
        if (i > 0) texts.push_back(std::string(plain).erase(plain.rfind(',', at), 1));  // no comma before
        if (i + 1 < members.size()) texts.push_back(std::string(plain).erase(end, 1));  // none after
        texts.push_back(plain.substr(0, at + m.distinct.size() / 2));                    // cut in the value
        texts.push_back(plain.substr(0, end));                                           // and after it
        texts.push_back(std::string(plain).insert(end, "}"));                            // a stray brace
        texts.push_back(text_with(i, "\"" + std::string(m.name) + "\": [\"" + m.distinct + "\"]"));  // another type
        texts.push_back(std::string(plain).insert(end - 1, "\\u0000"));                                 // a NUL
    }
    for (const std::string &text : texts) {
        SCOPED_TRACE(text);
        log_capture::clear();
        engine_conf fresh;
        Json__UnpackConf(&fresh, dir.write("conf.json", text).c_str());
        for (const std::string &line : log_capture::briefs())
            for (const member &m : members) EXPECT_EQ(std::string::npos, line.find(m.distinct)) << line;
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
