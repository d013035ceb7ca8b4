#include "vek_json.h"

#include <cjson/cJSON.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "zarn/support/log.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

namespace {

struct tree_deleter {
    void operator()(cJSON *root) const { cJSON_Delete(root); }
};
using tree_ptr = std::unique_ptr<cJSON, tree_deleter>;

// cJSON records the last parse error in a global: parse one text at a time.
std::mutex &parse_lock() {
    static std::mutex lock;
    return lock;
}

// The member's text when it is a JSON string, else null (absent or another type).
char *string_member(const cJSON *root, const char *name) {
    const cJSON *item = cJSON_GetObjectItem(root, name);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : nullptr;
}

// Whether a string in `text` up to `end`, JSON that cJSON parsed, holds the escape of a
// NUL (\u0000). cJSON keeps the NUL, so the string would be read only up to it.
bool holds_escaped_nul(const char *text, const char *end) {
    bool inString = false;
    for (const char *p = text; p < end; ++p) {
        if (!inString) {
            inString = *p == '"';
        } else if (*p == '"') {
            inString = false;
        } else if (*p == '\\') {
            if (end - p >= 6 && std::strncmp(p + 1, "u0000", 5) == 0) return true;
            ++p;  // the escaped character
        }
    }
    return false;
}

struct algo_name {
    const char *name;
    uint8_t code;
};
constexpr algo_name kHashAlgos[] = {{"gost34311", 1}, {"sha160", 2}, {"sha224", 3}, {"sha256", 4}};
constexpr algo_name kSignAlgos[] = {{"dstu4145", 1}, {"rsa", 2}, {"ecdsa", 3}};

template <size_t N>
uint8_t algo_code(const algo_name (&table)[N], const char *value) {
    for (const algo_name &algo : table)
        if (std::strcmp(algo.name, value) == 0) return algo.code;
    return 0;
}

}  // namespace

// Parses `text` and fills `conf`.
static bool _T_session__setup2(engine_conf *conf, const char *text) {
    tree_ptr root;
    {
        std::lock_guard<std::mutex> hold(parse_lock());
        const char *end = nullptr;
        root.reset(cJSON_ParseWithOpts(text, &end, 0));
        if (!root) {
            ZLOG_FAIL("_T_session__setup2", "fail: cJSON_Parse (%s)", end ? end : "");
            return false;
        }
        if (holds_escaped_nul(text, end)) {
            ZLOG_FAIL("_T_session__setup2", "fail: string holds a NUL (\\u0000)");
            return false;
        }
    }

    const char *hashAlgo = string_member(root.get(), "hash-algo");
    const uint8_t hashCode = hashAlgo ? algo_code(kHashAlgos, hashAlgo) : 0;
    if (!hashCode) {
        ZLOG_FAIL("_T_session__setup2", "fail: param <#/hash-algo> has invalid value");
        return false;
    }
    conf->hashAlgo = hashCode;

    const char *signAlgo = string_member(root.get(), "sign-algo");
    if (!signAlgo) {
        ZLOG_FAIL("_T_session__setup2", "fail: invalid sign-algo");
        return false;
    }
    ZLOG_TRACE("_T_session__setup2", "client %p: configured Signing Algorithm <%s>", static_cast<void *>(conf),
               signAlgo);
    const uint8_t signCode = algo_code(kSignAlgos, signAlgo);
    if (!signCode) {
        ZLOG_FAIL("_T_session__setup2", "fail: invalid sign-algo");
        return false;
    }
    conf->signAlgo = signCode;

    if (const cJSON *appendCert = cJSON_GetObjectItem(root.get(), "append-cert")) {
        ZLOG_TRACE("_T_session__setup2", "client %p: configured append-cert  ", static_cast<void *>(conf));
        conf->appendCert = cJSON_IsTrue(appendCert);
    } else {
        ZLOG_TRACE("_T_session__setup2", "append-cert default");
        conf->appendCert = false;
    }

    char *passwordText = string_member(root.get(), "key-sign-pass");
    if (!passwordText) {
        ZLOG_FAIL("_T_session__setup2", "fail: get Key password");
        return false;
    }
    secret_string password = passwordText;
    explicit_bzero(passwordText, std::strlen(passwordText));  // the tree's copy
    ZLOG_TRACE("_T_session__setup2", "client %p: configured Signing Key password", static_cast<void *>(conf));

    std::string path, model, serial;
    if (const char *value = string_member(root.get(), "key-sign")) {
        path = value;
        ZLOG_TRACE("_T_session__setup2", "client %p: configured Signing Key path <%s>", static_cast<void *>(conf), value);
    }
    if (const char *value = string_member(root.get(), "key-model")) {
        model = value;
        ZLOG_TRACE("_T_session__setup2", "client %p: configured key model <%s>", static_cast<void *>(conf), value);
    }
    if (const char *value = string_member(root.get(), "key-serial")) {
        serial = value;
        ZLOG_TRACE("_T_session__setup2", "client %p: configured key serial <%s>", static_cast<void *>(conf), value);
    }

    if (!model.empty() && !serial.empty()) {
        conf->keyMedia = dev_keymedia_conf{std::move(model), std::move(serial), std::move(password)};
    } else if (!path.empty()) {
        conf->keyMedia = file_keymedia_conf{std::move(path), std::move(password)};
    } else {
        return false;
    }
    return true;
}

bool Json__UnpackConf(engine_conf *conf, const char *path) {
    if (!conf || !path) {
        ZLOG_FAIL("Json__UnpackConf", "fail: kS_INVALID_PARAMS");
        return false;
    }
    secret_string text;  // the file's bytes hold the password
    return File__ReadAll("Json__UnpackConf", path, &text) && _T_session__setup2(conf, text.data());
}

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
