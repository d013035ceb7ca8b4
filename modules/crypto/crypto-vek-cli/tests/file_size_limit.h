// Test helper: a full disk, as the process sees it.
#pragma once

#include <sys/resource.h>

#include <csignal>

// Lowers the file-size limit for the life of the object, so writes fail with EFBIG.
class file_size_limit {
public:
    explicit file_size_limit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &_saved);
        _handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower = _saved;
        lower.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~file_size_limit() {
        ::setrlimit(RLIMIT_FSIZE, &_saved);
        std::signal(SIGXFSZ, _handler);
    }
    file_size_limit(const file_size_limit &) = delete;
    file_size_limit &operator=(const file_size_limit &) = delete;

private:
    rlimit _saved;
    void (*_handler)(int);
};
