// Owner of a file descriptor: closes it when it goes.
#pragma once

#include <unistd.h>

namespace Zarn {
namespace Support {

class fd_holder {
public:
    explicit fd_holder(int fd = -1) : _fd(fd) {}
    ~fd_holder() {
        if (_fd >= 0) ::close(_fd);
    }
    fd_holder(const fd_holder &) = delete;
    fd_holder &operator=(const fd_holder &) = delete;
    fd_holder(fd_holder &&other) noexcept : _fd(other.release()) {}
    fd_holder &operator=(fd_holder &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    // Closes what it holds and holds fd instead.
    void reset(int fd = -1) {
        if (_fd >= 0 && _fd != fd) ::close(_fd);
        _fd = fd;
    }
    int get() const { return _fd; }
    int release() {
        const int fd = _fd;
        _fd = -1;
        return fd;
    }

private:
    int _fd;
};

}  // namespace Support
}  // namespace Zarn
