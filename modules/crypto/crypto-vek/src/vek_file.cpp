#include "vek_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "zarn/support/log.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

namespace {

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};

// Opens for reading without waiting: a named pipe with no writer would block fopen.
FILE *open_for_reading(int folder, const char *path) {
    const int fd = openat(folder, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE *file = fdopen(fd, "rb");
    if (!file) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

}  // namespace

file_read File__ReadAll(const char *function, int folder, const char *path, const char *shown,
                        secret_string *contents) {
    std::unique_ptr<FILE, file_closer> file(open_for_reading(folder, path));
    if (!file) {
        ZLOG_FAIL(function, "fail: fopen <%s> (errno:%s)", shown, std::strerror(errno));
        return file_read::failed;
    }

    // A file that cannot be measured (a pipe) or is too large is refused at the read.
    long size = -1;
    errno = 0;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) size = std::ftell(file.get());
    if (size >= 0 && std::fseek(file.get(), 0, SEEK_SET) != 0) size = -1;
    const bool tooLarge = size > kMaxFileSize;
    if (tooLarge) errno = EFBIG;

    bool read = false;
    if (size > 0 && size <= kMaxFileSize) {
        char *bytes = contents->reset(static_cast<size_t>(size));
        errno = 0;
        read = std::fread(bytes, static_cast<size_t>(size), 1, file.get()) == 1;
    }
    if (!read) {
        const int error = errno ? errno : ENODATA;
        contents->reset(0);  // a partial read
        ZLOG_FAIL(function, "fail: fread <%s> (%s)", shown, std::strerror(error));
        return tooLarge ? file_read::too_large : file_read::failed;
    }
    return file_read::ok;
}

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
