// The command engine over a scripted signature facade.
#include "engine.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "log_capture.h"
#include "zarn/support/exceptions.h"

namespace {

using namespace Zarn::Support;
using namespace Zarn::Support::VekCli;

enum class outcome { yes, no, params, internal, other };

// Records each call as text and answers with the scripted outcome.
class scripted_tavrel : public Tavrel::api_like {
public:
    outcome next = outcome::yes;
    std::vector<std::string> serials;               // what mediaList(serials) finds
    bool access = true, valid = true, sign = true;  // what keyTestAll reports
    std::vector<std::string> calls;

    bool mediaList(std::string serial) override { return answer("mediaList(" + serial + ")"); }
    bool mediaList(std::vector<std::string> &found) override {
        found.insert(found.end(), serials.begin(), serials.end());
        return answer("mediaList[]");
    }
    void keyCreate(std::string s, std::string p, std::string ds, std::string kep, std::string zip) override {
        answer("keyCreate(" + s + "," + p + "," + ds + "," + kep + "," + zip + ")");
    }
    void keyDelete(std::string s, std::string p) override { answer("keyDelete(" + s + "," + p + ")"); }
    bool keyTestAccess(std::string s, std::string p) override { return answer("keyTestAccess(" + s + "," + p + ")"); }
    bool keyTestValid(std::string s, std::string p) override { return answer("keyTestValid(" + s + "," + p + ")"); }
    bool keyTestSign(std::string s, std::string p) override { return answer("keyTestSign(" + s + "," + p + ")"); }
    bool keyTestAll(std::string s, std::string p, bool *a, bool *v, bool *g) override {
        *a = access;
        *v = valid;
        *g = sign;
        return answer("keyTestAll(" + s + "," + p + ")");
    }
    void signCrtPeriod(std::string s, std::string p, std::string &minTime, std::string &maxTime) override {
        minTime = "2021-03-01T08:05:09";
        maxTime = "2031-03-01T08:05:09";
        answer("signCrtPeriod(" + s + "," + p + ")");
    }
    void signExporCrt(std::string s, std::string p, std::string crt) override {
        answer("signExporCrt(" + s + "," + p + "," + crt + ")");
    }
    void signCreateExt(std::string s, std::string p, std::string blob, std::string sig, bool flag) override {
        answer("signCreateExt(" + s + "," + p + "," + blob + "," + sig + "," + (flag ? "true" : "false") + ")");
    }
    bool signVerify(std::string blob, std::string sig, std::string crt) override {
        return answer("signVerify(" + blob + "," + sig + "," + crt + ")");
    }

private:
    bool answer(const std::string &call) {
        calls.push_back(call);
        switch (next) {
            case outcome::params: throw params_error();
            case outcome::internal: throw internal_error();
            case outcome::other: throw std::runtime_error("boom");
            case outcome::no: return false;
            case outcome::yes: break;
        }
        return true;
    }
};

const char kUsage[] =
    "vek-cli media  list\n"
    "vek-cli media  list         <serial>\n"
    "vek-cli key    create       <serial> <password> <csr-ds-name> <csr-kep-name> <csr-zip-path>\n"
    "vek-cli key    delete       <serial> <password>\n"
    "vek-cli key    test-access  <serial> <password>\n"
    "vek-cli key    test-valid   <serial> <password>\n"
    "vek-cli key    test-sign    <serial> <password>\n"
    "vek-cli key    test-all     <serial> <password>\n"
    "vek-cli sign   crt-info     <serial> <password>\n"
    "vek-cli sign   export-crt   <serial> <password> <crt-path>\n"
    "vek-cli sign   create-ext   <serial> <password> <blob-path> <sign-path>\n"
    "vek-cli sign   verify       <blob-path> <sign-path> <crt-path>\n";

struct Row {
    std::vector<std::string> args;
    outcome next;
    std::string out;
    int code;
    std::string call;  // empty: the facade is not called
};

void run_rows(const std::vector<Row> &rows, scripted_tavrel *tavrel, const std::shared_ptr<Tavrel::api_like> &owner) {
    const cli_engine engine(service_pack{owner});
    for (const Row &row : rows) {
        std::string line;
        for (const std::string &a : row.args) line += " <" + a + ">";
        tavrel->calls.clear();
        tavrel->next = row.next;
        const cli_response response = engine.activate(cli_request("vek-cli", row.args, {}));
        EXPECT_EQ(row.out, response.out()) << line;
        EXPECT_EQ(row.code, response.code()) << line;
        EXPECT_EQ("", response.err()) << line;
        const std::vector<std::string> expectedCalls =
            row.call.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.call};
        EXPECT_EQ(expectedCalls, tavrel->calls) << line;
    }
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override { log_capture::clear(); }
    std::shared_ptr<scripted_tavrel> tavrel = std::make_shared<scripted_tavrel>();
};

TEST_F(Engine, UsageTextIsTwelveFixedLines) { EXPECT_EQ(kUsage, cli_engine(service_pack{tavrel}).usage()); }

TEST_F(Engine, RequestsThatFitNoCommandPrintTheUsage) {
    const outcome y = outcome::yes;
    run_rows(
        {
            {{}, y, kUsage, 70, ""},
            {{""}, y, kUsage, 70, ""},
            {{"Media", "list"}, y, kUsage, 70, ""},
            {{"media"}, y, kUsage, 70, ""},
            {{"media", "lists"}, y, kUsage, 70, ""},
            {{"media", "list", "a", "b"}, y, kUsage, 70, ""},
            {{"key", "create", "s", "p", "ds", "kep"}, y, kUsage, 70, ""},
            {{"key", "delete", "s"}, y, kUsage, 70, ""},
            {{"key", "test-access", "s", "p", "x"}, y, kUsage, 70, ""},
            {{"key", "test-all"}, y, kUsage, 70, ""},
            {{"key", "list"}, y, kUsage, 70, ""},
            {{"sign", "verify", "a", "b"}, y, kUsage, 70, ""},
            {{"sign", "create-ext", "s", "p", "blob"}, y, kUsage, 70, ""},
            {{"sign", "crt-info", "s", "p", "x"}, y, kUsage, 70, ""},
            {{"sign", "export-crt", "s", "p"}, y, kUsage, 70, ""},
            {{"list", "media"}, y, kUsage, 70, ""},
        },
        tavrel.get(), tavrel);
}

TEST_F(Engine, MediaCommands) {
    tavrel->serials = {"VM1K-000101", "VM1K-000102"};
    const outcome y = outcome::yes, n = outcome::no;
    run_rows(
        {
            {{"media", "list"}, y, "VM1K-000101\nVM1K-000102\n", 0, "mediaList[]"},
            {{"media", "list", "VM1K-000102"}, y, "VM1K-000102\n", 0, "mediaList(VM1K-000102)"},
            {{"media", "list", "nope"}, n, "", 0, "mediaList(nope)"},
            {{"media", "list", ""}, y, "\n", 0, "mediaList()"},
            {{"media", "list"}, outcome::internal, "FAIL\n", 70, "mediaList[]"},
        },
        tavrel.get(), tavrel);
    tavrel->serials.clear();
    run_rows({{{"media", "list"}, n, "", 0, "mediaList[]"}}, tavrel.get(), tavrel);
}

TEST_F(Engine, KeyCommands) {
    const outcome y = outcome::yes, n = outcome::no, P = outcome::params, I = outcome::internal;
    const std::string create = "keyCreate(s,p,ds.p10,kep.p10,/tmp/r.zip)";
    run_rows(
        {
            {{"key", "create", "s", "p", "ds.p10", "kep.p10", "/tmp/r.zip"}, y, "DONE\n", 0, create},
            {{"key", "create", "s", "p", "ds.p10", "kep.p10", "/tmp/r.zip"}, P, kUsage, 70, create},
            {{"key", "create", "s", "p", "ds.p10", "kep.p10", "/tmp/r.zip"}, I, "FAIL\n", 70, create},
            {{"key", "delete", "s", "p"}, y, "DONE\n", 0, "keyDelete(s,p)"},
            {{"key", "delete", "s", "p"}, P, kUsage, 70, "keyDelete(s,p)"},
            {{"key", "delete", "s", "p"}, I, "FAIL\n", 70, "keyDelete(s,p)"},
            {{"key", "test-access", "s", "p"}, y, "PASSED\n", 0, "keyTestAccess(s,p)"},
            {{"key", "test-access", "s", "p"}, n, "FAILED\n", 0, "keyTestAccess(s,p)"},
            {{"key", "test-access", "s", "p"}, I, "FAIL\n", 70, "keyTestAccess(s,p)"},
            {{"key", "test-valid", "s", "p"}, y, "PASSED\n", 0, "keyTestValid(s,p)"},
            {{"key", "test-valid", "s", "p"}, n, "FAILED\n", 0, "keyTestValid(s,p)"},
            {{"key", "test-sign", "s", "p"}, y, "PASSED\n", 0, "keyTestSign(s,p)"},
            {{"key", "test-sign", "s", "p"}, n, "FAILED\n", 0, "keyTestSign(s,p)"},
            {{"key", "test-sign", "s", "p"}, P, kUsage, 70, "keyTestSign(s,p)"},
            {{"key", "test-sign", "", ""}, I, "FAIL\n", 70, "keyTestSign(,)"},
            {{"key", "test-all", "s", "p"}, P, kUsage, 70, "keyTestAll(s,p)"},
            {{"key", "test-all", "s", "p"}, I, "FAIL\n", 70, "keyTestAll(s,p)"},
        },
        tavrel.get(), tavrel);
}

TEST_F(Engine, TestAllReportsEachVerdict) {
    struct Verdicts {
        bool access, valid, sign;
        outcome all;
        const char *out;
    };
    const std::vector<Verdicts> rows = {
        {true, true, true, outcome::yes,
         "{\"test-key-access\":\"passed\",\"test-key-valid\":\"passed\",\"test-key-sign\":\"passed\","
         "\"test-all\":\"passed\"}\n"},
        {true, true, false, outcome::no,
         "{\"test-key-access\":\"passed\",\"test-key-valid\":\"passed\",\"test-key-sign\":\"failed\","
         "\"test-all\":\"failed\"}\n"},
        {false, false, false, outcome::no,
         "{\"test-key-access\":\"failed\",\"test-key-valid\":\"failed\",\"test-key-sign\":\"failed\","
         "\"test-all\":\"failed\"}\n"},
    };
    for (const Verdicts &v : rows) {
        tavrel->access = v.access;
        tavrel->valid = v.valid;
        tavrel->sign = v.sign;
        run_rows({{{"key", "test-all", "s", "p"}, v.all, v.out, 0, "keyTestAll(s,p)"}}, tavrel.get(), tavrel);
    }
}

TEST_F(Engine, SignCommands) {
    const outcome y = outcome::yes, n = outcome::no, P = outcome::params, I = outcome::internal;
    const std::string period = "{\"min-time\":\"2021-03-01T08:05:09\",\"max-time\":\"2031-03-01T08:05:09\"}\n";
    run_rows(
        {
            {{"sign", "crt-info", "s", "p"}, y, period, 0, "signCrtPeriod(s,p)"},
            {{"sign", "crt-info", "s", "p"}, P, kUsage, 70, "signCrtPeriod(s,p)"},
            {{"sign", "crt-info", "s", "p"}, I, "FAIL\n", 70, "signCrtPeriod(s,p)"},
            {{"sign", "export-crt", "s", "p", "c.crt"}, y, "DONE\n", 0, "signExporCrt(s,p,c.crt)"},
            {{"sign", "export-crt", "s", "p", "c.crt"}, I, "FAIL\n", 70, "signExporCrt(s,p,c.crt)"},
            {{"sign", "create-ext", "s", "p", "b", "b.p7s"}, y, "DONE\n", 0, "signCreateExt(s,p,b,b.p7s,false)"},
            {{"sign", "create-ext", "s", "p", "b", "b.p7s"}, P, kUsage, 70, "signCreateExt(s,p,b,b.p7s,false)"},
            {{"sign", "verify", "b", "b.p7s", "c.crt"}, y, "PASSED\n", 0, "signVerify(b,b.p7s,c.crt)"},
            {{"sign", "verify", "b", "b.p7s", "c.crt"}, n, "FAILED\n", 64, "signVerify(b,b.p7s,c.crt)"},
            {{"sign", "verify", "b", "b.p7s", "c.crt"}, I, "FAIL\n", 70, "signVerify(b,b.p7s,c.crt)"},
        },
        tavrel.get(), tavrel);
}

TEST_F(Engine, ForeignExceptionsAreLoggedAndFail) {
    run_rows({{{"key", "delete", "s", "p"}, outcome::other, "FAIL\n", 70, "keyDelete(s,p)"}}, tavrel.get(), tavrel);
    EXPECT_EQ(1u, log_capture::count("activate", "fail: exception <boom>"));
    log_capture::clear();
    run_rows({{{"key", "delete", "s", "p"}, outcome::internal, "FAIL\n", 70, "keyDelete(s,p)"}}, tavrel.get(), tavrel);
    EXPECT_TRUE(log_capture::lines().empty());  // the thrower logs, not the engine
}

}  // namespace
