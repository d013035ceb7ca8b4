// The configuration reader on generated configurations, checked against a model of
// what each should give, and on mutations of them, checked for sound results.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "json_fuzz_check.h"
#include "log_briefs.h"
#include "vek_json.h"
#include "vek_test_support.h"

using namespace Zarn::Support::Crypto::Vek;

namespace {

// A generated configuration with the result it must give.
struct generated {
    std::string text;
    bool ok;
    keymedia_conf::kind_type kind;
};

class generator {
public:
    explicit generator(uint32_t seed) : rng(seed) {}

    generated next() {
        nul = false;
        std::vector<std::string> members;
        const bool hashOk = member(members, "hash-algo", {"gost34311", "sha160", "sha224", "sha256"}, {"sha512", "SHA256", ""});
        const bool signOk = member(members, "sign-algo", {"dstu4145", "rsa", "ecdsa"}, {"dsa", "Rsa", ""});
        const bool passOk = member(members, "key-sign-pass", {"p", "", "very long password ............................................................"}, {});
        const bool pathOk = member(members, "key-sign", {"/key.p12"}, {""});
        const bool modelOk = member(members, "key-model", {"Model-1"}, {""});
        const bool serialOk = member(members, "key-serial", {"SER-1"}, {""});
        if (chance(3)) members.push_back(quoted(cased("append-cert")) + ": " + any_value());
        if (chance(3)) members.push_back("\"unknown\": " + any_value());
        std::shuffle(members.begin(), members.end(), rng);

        std::string text = "{";
        for (size_t i = 0; i < members.size(); ++i) text += (i ? ", " : "") + members[i];
        text += "}";
        if (chance(4)) text += " trailing [";

        generated g;
        g.text = text;
        const bool device = modelOk && serialOk;
        g.ok = hashOk && signOk && passOk && (device || pathOk) && !nul;
        g.kind = !g.ok ? keymedia_conf::kNone : device ? keymedia_conf::kDevice : keymedia_conf::kFile;
        return g;
    }

    // Byte-level damage: flips, cuts, insertions (NUL bytes too), repeats.
    std::string mutate(std::string text) {
        const int edits = 1 + pick(4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const size_t at = pick(static_cast<int>(text.size()));
            switch (pick(5)) {
            case 0: text[at] = static_cast<char>(text[at] ^ (1 << pick(8))); break;
            case 1: text.resize(at); break;
            case 2: text.insert(at, 1, static_cast<char>(pick(256))); break;
            case 3: text.insert(at, text.substr(at, pick(16))); break;
            default: text.erase(at, 1 + pick(8)); break;
            }
        }
        return text;
    }

private:
    int pick(int n) { return n > 0 ? static_cast<int>(rng() % static_cast<uint32_t>(n)) : 0; }
    bool chance(int oneIn) { return pick(oneIn) == 0; }

    std::string cased(std::string name) {
        for (char &c : name)
            if (chance(3)) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return name;
    }
    static std::string quoted(const std::string &s) { return "\"" + s + "\""; }

    // Any JSON value; a string only when `string` allows it.
    std::string any_value(bool string = true) {
        static const char *const values[] = {"true", "false", "null", "1", "[]", "{}", "\"true\""};
        return values[pick(string ? 7 : 6)];
    }

    // Adds the member (absent, valid, invalid text or another JSON type) and says
    // whether it counts as a usable value; for key locations "usable" means non-empty.
    // Now and then its name or value holds a NUL, which makes the whole unusable.
    bool member(std::vector<std::string> &members, const std::string &name, const std::vector<std::string> &good,
                const std::vector<std::string> &bad) {
        const int form = pick(4);
        if (form == 0) return false;  // absent
        const std::string key = quoted(cased(name) + with_nul());
        switch (form) {
        case 1:
            if (!bad.empty()) {
                members.push_back(key + ": " + quoted(bad[pick(static_cast<int>(bad.size()))]));
                return false;
            }
            [[fallthrough]];
        case 2: {
            const std::string &value = good[pick(static_cast<int>(good.size()))];
            members.push_back(key + ": " + quoted(value + with_nul()));
            return true;
        }
        default: members.push_back(key + ": " + any_value(false)); return false;
        }
    }

    // Rarely a NUL's escape, else nothing.
    std::string with_nul() {
        if (!chance(24)) return "";
        nul = true;
        return "\\u0000";
    }

    std::mt19937 rng;
    bool nul = false;  // the configuration being made holds a NUL
};

TEST(JsonFuzz, GeneratedConfigurationsGiveTheModelledResult) {
    vek_test::temp_dir dir;
    const std::string path = dir.file("conf.json");
    generator gen(20240611);
    const int n = vek_test::rounds(3000, 800);
    for (int i = 0; i < n; ++i) {
        const generated g = gen.next();
        SCOPED_TRACE(g.text);
        log_capture::clear();
        dir.write("conf.json", g.text);
        engine_conf conf;
        ASSERT_EQ(g.ok, Json__UnpackConf(&conf, path.c_str()));
        ASSERT_EQ(g.kind, conf.keyMedia.kind());
        ASSERT_TRUE(json_fuzz::sound(conf, g.ok, log_capture::briefs(1).size()));
    }
}

TEST(JsonFuzz, MutatedConfigurationsStaySound) {
    vek_test::temp_dir dir;
    const std::string path = dir.file("conf.json");
    generator gen(7);
    const int n = vek_test::rounds(6000, 1500);
    for (int i = 0; i < n; ++i) {
        const std::string text = gen.mutate(gen.next().text);
        SCOPED_TRACE(text);
        log_capture::clear();
        dir.write("conf.json", text);
        engine_conf conf;
        const bool ok = Json__UnpackConf(&conf, path.c_str());
        ASSERT_TRUE(json_fuzz::sound(conf, ok, log_capture::briefs(1).size()));
    }
}

}  // namespace
