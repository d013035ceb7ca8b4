// Secrets and the files that hold them: the configuration file (it names the key's
// password) and the key file are read whole into storage that is wiped after use.
#pragma once

#include <string.h>

#include <cstddef>
#include <string>
#include <utility>

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

// A secret text or byte string (a password, a file that holds one, a key file). Its
// bytes are wiped wherever a copy of it ends: on destruction, when it is assigned over,
// and in what a move leaves behind.
class secret_string {
public:
    secret_string() = default;
    secret_string(const char *text) : text(text) {}
    secret_string(const secret_string &other) : text(other.text) {}
    secret_string(secret_string &&other) noexcept : text(std::move(other.text)) { other.wipe(); }
    secret_string &operator=(const secret_string &other) {
        if (this != &other) {
            wipe();
            text = other.text;
        }
        return *this;
    }
    secret_string &operator=(secret_string &&other) noexcept {
        if (this != &other) {
            wipe();
            text = std::move(other.text);
            other.wipe();
        }
        return *this;
    }
    ~secret_string() { wipe(); }

    size_t size() const { return text.size(); }
    bool empty() const { return text.empty(); }
    const char *data() const { return text.data(); }
    // For library calls that take a mutable text; NUL-terminated.
    char *data() { return &text[0]; }
    // Wipes what is held and holds `size` zero bytes instead; returns where they are.
    char *reset(size_t size) {
        wipe();
        text.assign(size, '\0');
        return &text[0];
    }

    friend bool operator==(const secret_string &a, const char *b) { return a.text == b; }
    friend bool operator==(const char *a, const secret_string &b) { return b.text == a; }

private:
    // Clears every byte the text's storage holds, also past its end.
    void wipe() noexcept {
        text.resize(text.capacity());
        explicit_bzero(&text[0], text.size());
        text.clear();
    }

    std::string text;
};

// Files larger than this are refused.
constexpr long kMaxFileSize = 1L << 20;

enum class file_read { ok, failed, too_large };

// Reads the whole file at `path` (relative to the folder `folder`, or AT_FDCWD) into
// `contents` (NUL-terminated), without waiting on a named pipe. Failure lines name the
// file `shown`, under `function`: one level-1 line for a file that cannot be opened or
// measured (a pipe), that is empty or larger than kMaxFileSize, or that does not read.
file_read File__ReadAll(const char *function, int folder, const char *path, const char *shown,
                        secret_string *contents);

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
