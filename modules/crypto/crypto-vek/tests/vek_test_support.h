// Test helpers: stand-in worlds, configuration files and a watchdog that fails a
// hanging test instead of hanging the run.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kt_api.h"
#include "temp_dir.h"

namespace vek_test {

using temp_dir = zarn_test::temp_dir;

// A device of a stand-in world, as its JSON text.
inline std::string device(const std::string &serial, const std::string &password, bool key = true) {
    return "{\"serial\": \"" + serial + "\", \"password\": \"" + password + "\", \"key\": " +
           (key ? "\"generate\"" : "null") + "}";
}

// A type of a stand-in world with its devices.
inline std::string type(const std::string &name, const std::vector<std::string> &devices) {
    std::string text = "{\"name\": \"" + name + "\", \"devices\": [";
    for (size_t i = 0; i < devices.size(); ++i) text += (i ? ", " : "") + devices[i];
    return text + "]}";
}

inline std::string world(const std::vector<std::string> &types) {
    std::string text = "{\"types\": [";
    for (size_t i = 0; i < types.size(); ++i) text += (i ? ", " : "") + types[i];
    return text + "]}";
}

constexpr char kSerial[] = "VEK-0001";
constexpr char kPassword[] = "pass-0001";

// One accepted-type medium with a key (kSerial, kPassword), one without.
inline std::string default_world() {
    return world({type("е.ключ ВЕК Модра-1К", {device(kSerial, kPassword), device("VEK-NOKEY", "nokey", false)})});
}

// A configuration naming a key medium; `extra` is added as further members.
inline std::string device_conf(const std::string &serial = kSerial, const std::string &password = kPassword,
                               const std::string &extra = "") {
    return "{\"hash-algo\": \"sha256\", \"sign-algo\": \"ecdsa\", \"key-sign-pass\": \"" + password +
           "\", \"key-model\": \"any model\", \"key-serial\": \"" + serial + "\"" + extra + "}";
}

inline std::string file_conf(const std::string &path, const std::string &password) {
    return "{\"hash-algo\": \"sha256\", \"sign-algo\": \"dstu4145\", \"key-sign-pass\": \"" + password +
           "\", \"key-sign\": \"" + path + "\"}";
}

// Writes a key file through the stand-in's helper program.
inline bool make_key_file(const std::string &path, const std::string &password) {
    const std::string command = std::string("'") + VEK_TAVREL_WORLD + "' keyfile '" + path + "' '" + password + "'";
    return std::system(command.c_str()) == 0;
}

// Gives the medium at (type, device) a new key, as an operator re-keying it would; the
// library's status.
inline unsigned long rekey_medium(unsigned long typeIndex, unsigned long devIndex, const std::string &password) {
    KT_KEY_MEDIA medium{};
    medium.dwTypeIndex = typeIndex;
    medium.dwDevIndex = devIndex;
    password.copy(medium.szPassword, sizeof medium.szPassword - 1);
    return KTGeneratePrivateKeyEx(&medium, 0, 1, 2, 2, nullptr, KT_KEYS_TYPE_NONE, 0, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr);
}

// Replaces the file at `path` by rename with a new key file.
inline bool replace_key_file(const std::string &path, const std::string &password) {
    const std::string next = path + ".next";
    return make_key_file(next, password) && std::rename(next.c_str(), path.c_str()) == 0;
}

// Ends the process with a message when the scope is not left within `seconds`.
class watchdog {
public:
    watchdog(int seconds, std::string what) : what_(std::move(what)) {
        thread_ = std::thread([this, seconds] {
            std::unique_lock<std::mutex> hold(lock_);
            if (!done_.wait_for(hold, std::chrono::seconds(seconds), [this] { return finished_; })) {
                std::printf("watchdog: \"%s\" still running after %d s\n", what_.c_str(), seconds);
                std::fflush(stdout);
                _exit(3);
            }
        });
    }
    ~watchdog() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            finished_ = true;
        }
        done_.notify_one();
        thread_.join();
    }

private:
    std::string what_;
    std::mutex lock_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

// Sanitizers slow everything down: loops run fewer rounds there.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

inline int rounds(int plain, int sanitized) { return kSanitized ? sanitized : plain; }

}  // namespace vek_test
