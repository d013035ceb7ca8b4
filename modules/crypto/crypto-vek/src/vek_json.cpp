#include "vek_json.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "zarn/support/log.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

namespace {

constexpr long kMaxConfSize = 1L << 20;  // larger files are refused

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
struct tree_deleter {
    void operator()(cJSON *root) const { cJSON_Delete(root); }
};
using tree_ptr = std::unique_ptr<cJSON, tree_deleter>;

// Opens for reading without waiting: a named pipe with no writer would block fopen.
FILE *open_for_reading(const char *path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE *file = fdopen(fd, "rb");
    if (!file) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

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
    std::unique_ptr<FILE, file_closer> file(open_for_reading(path));
    if (!file) {
        ZLOG_FAIL("Json__UnpackConf", "fail: fopen <%s> (errno:%s)", path, std::strerror(errno));
        return false;
    }

    // A file that cannot be measured (a pipe) or is too large is refused at the read.
    long size = -1;
    errno = 0;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) size = std::ftell(file.get());
    if (size >= 0 && std::fseek(file.get(), 0, SEEK_SET) != 0) size = -1;
    if (size > kMaxConfSize) errno = EFBIG;

    std::unique_ptr<char[]> text;
    bool read = false;
    if (size > 0 && size <= kMaxConfSize) {
        text.reset(new char[static_cast<size_t>(size) + 1]);
        errno = 0;
        read = std::fread(text.get(), static_cast<size_t>(size), 1, file.get()) == 1;
    }
    if (!read) {
        if (text) explicit_bzero(text.get(), static_cast<size_t>(size));  // a partial read
        ZLOG_FAIL("Json__UnpackConf", "fail: fread <%s> (%s)", path, std::strerror(errno ? errno : ENODATA));
        return false;
    }
    text[size] = '\0';
    file.reset();
    const bool configured = _T_session__setup2(conf, text.get());
    explicit_bzero(text.get(), static_cast<size_t>(size));  // the file's bytes hold the password
    return configured;
}

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
