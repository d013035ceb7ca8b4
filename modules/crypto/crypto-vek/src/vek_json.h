// The plug-in's JSON configuration: algorithms, the append-certificate flag and where
// the signing key is (a hardware key medium or a key file) with its password.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "vek_file.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

struct dev_keymedia_conf {
    std::string model;  // logged only: the medium is found by serial
    std::string serial;
    secret_string password;
};

struct file_keymedia_conf {
    std::string path;
    secret_string password;
};

// Where the key is: kind 0 none, 1 a key medium, 2 a key file.
class keymedia_conf {
public:
    enum kind_type : int { kNone = 0, kDevice = 1, kFile = 2 };

    // A move takes the value; the source is left with none.
    keymedia_conf() = default;
    keymedia_conf(keymedia_conf &&other) noexcept : value(std::exchange(other.value, std::monostate{})) {}
    keymedia_conf &operator=(keymedia_conf &&other) noexcept {
        if (this != &other) value = std::exchange(other.value, std::monostate{});
        return *this;
    }
    keymedia_conf &operator=(dev_keymedia_conf dev) {
        value.emplace<dev_keymedia_conf>(std::move(dev));
        return *this;
    }
    keymedia_conf &operator=(file_keymedia_conf file) {
        value.emplace<file_keymedia_conf>(std::move(file));
        return *this;
    }

    kind_type kind() const { return static_cast<kind_type>(value.index()); }
    const dev_keymedia_conf &dev() const { return std::get<dev_keymedia_conf>(value); }
    const file_keymedia_conf &file() const { return std::get<file_keymedia_conf>(value); }

private:
    std::variant<std::monostate, dev_keymedia_conf, file_keymedia_conf> value;
};

struct engine_conf {
    bool appendCert = false;
    uint8_t hashAlgo = 0;  // 1 gost34311, 2 sha160, 3 sha224, 4 sha256
    uint8_t signAlgo = 0;  // 1 dstu4145, 2 rsa, 3 ecdsa
    keymedia_conf keyMedia;
};

// Reads the file at `path` into `conf`. False, with one level-1 log line (none when no
// key location is configured), when the file cannot be read or used. Fields are set as
// they are accepted; the key location only on success.
bool Json__UnpackConf(engine_conf *conf, const char *path);

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
