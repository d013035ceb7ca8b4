#include "vek_json.h"

#include <cjson/cJSON.h>

#include <fcntl.h>

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

// The table's entry that is `value`, or null.
template <size_t N>
const algo_name *find_algo(const algo_name (&table)[N], const char *value) {
    for (const algo_name &algo : table)
        if (value && std::strcmp(algo.name, value) == 0) return &algo;
    return nullptr;
}

// Logs where parsing of `text` stopped, at `end`, by its byte offset, line and column
// (both from 1, the column in bytes): the text itself may hold the password.
void log_parse_failure(const char *text, const char *end) {
    const char *lineStart = text;
    size_t line = 1;
    for (const char *p = text; p < end; ++p)
        if (*p == '\n') {
            ++line;
            lineStart = p + 1;
        }
    ZLOG_FAIL("_T_session__setup2", "fail: cJSON_Parse (offset:%zu, line:%zu, column:%zu)",
              static_cast<size_t>(end - text), line, static_cast<size_t>(end - lineStart) + 1);
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
            log_parse_failure(text, end ? end : text);
            return false;
        }
        if (holds_escaped_nul(text, end)) {
            ZLOG_FAIL("_T_session__setup2", "fail: string holds a NUL (\\u0000)");
            return false;
        }
    }

    // No line holds a configured value: an accepted algorithm is named from the table.
    const algo_name *hashAlgo = find_algo(kHashAlgos, string_member(root.get(), "hash-algo"));
    if (!hashAlgo) {
        ZLOG_FAIL("_T_session__setup2", "fail: param <#/hash-algo> has invalid value");
        return false;
    }
    conf->hashAlgo = hashAlgo->code;

    const algo_name *signAlgo = find_algo(kSignAlgos, string_member(root.get(), "sign-algo"));
    if (!signAlgo) {
        ZLOG_FAIL("_T_session__setup2", "fail: invalid sign-algo");
        return false;
    }
    ZLOG_TRACE("_T_session__setup2", "client %p: configured Signing Algorithm <%s>", static_cast<void *>(conf),
               signAlgo->name);
    conf->signAlgo = signAlgo->code;

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

    // Named, not shown: a value in the wrong member may be a secret.
    std::string path, model, serial;
    if (const char *value = string_member(root.get(), "key-sign")) {
        path = value;
        ZLOG_TRACE("_T_session__setup2", "client %p: configured Signing Key path", static_cast<void *>(conf));
    }
    if (const char *value = string_member(root.get(), "key-model")) {
        model = value;
        ZLOG_TRACE("_T_session__setup2", "client %p: configured key model", static_cast<void *>(conf));
    }
    if (const char *value = string_member(root.get(), "key-serial")) {
        serial = value;
        ZLOG_TRACE("_T_session__setup2", "client %p: configured key serial", static_cast<void *>(conf));
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
    return File__ReadAll("Json__UnpackConf", AT_FDCWD, path, path, &text) == file_read::ok &&
           _T_session__setup2(conf, text.data());
}

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
