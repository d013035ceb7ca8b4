#include "zarn/support/zrc_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zarn/support/fd_holder.h"
#include "zarn/support/log.h"

namespace {

int _T_status_of(int error) {
    switch (error) {
        case ENOENT: return FSUTILS_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return FSUTILS_DENIED;
        case ENAMETOOLONG:
        case EOVERFLOW: return FSUTILS_TOO_LONG;
        case ENOMEM: return FSUTILS_NO_MEMORY;
        case EISDIR: return FSUTILS_BAD_PATH;
        default: return FSUTILS_FAIL;
    }
}

bool _T_is_dir(const char *path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir that accepts an existing directory.
bool _T_mkdir_one(const char *path, int mode) {
    if (::mkdir(path, static_cast<mode_t>(mode)) == 0) return true;
    return errno == EEXIST && _T_is_dir(path);
}

// Walks back (cutting at '/') until a mkdir succeeds or finds the directory, then
// forward again creating each cut prefix. Every cut is restored before returning.
int _T_mkdir_r(int mode, char *path) {
    std::vector<char *> cuts;
    auto restore = [&cuts] {
        for (char *cut : cuts) *cut = '/';
        cuts.clear();
    };
    for (;;) {
        if (::mkdir(path, static_cast<mode_t>(mode)) == 0) break;
        const int error = errno;
        if (error == EEXIST) {
            if (_T_is_dir(path)) break;
            restore();
            return FSUTILS_FAIL;
        }
        char *cut = error == ENOENT ? std::strrchr(path, '/') : nullptr;
        if (!cut || cut == path) {
            restore();
            return FSUTILS_FAIL;
        }
        *cut = '\0';
        cuts.push_back(cut);
    }
    while (!cuts.empty()) {
        *cuts.back() = '/';
        cuts.pop_back();
        if (!_T_mkdir_one(path, mode)) {
            restore();
            return FSUTILS_FAIL;
        }
    }
    return FSUTILS_OK;
}

bool _T_path_fits(const std::string &path, const char *function) {
    if (path.size() <= FSUTILS_PATH_MAX) return true;
    ZLOG_FAIL(function, "fail: path is too long (size:%zu, max-size:%zu)", path.size(), FSUTILS_PATH_MAX);
    return false;
}

int _T_remove(int parentFd, const std::string &name, const std::string &path, const char *function);

// Removes everything inside the open directory dirFd (which this call closes).
int _T_clear_fd(int dirFd, const std::string &path, const char *function) {
    DIR *dir = ::fdopendir(dirFd);
    if (!dir) {
        const int error = errno;
        ::close(dirFd);
        ZLOG_FAIL(function, "fail: opendir <%s> (%s)", path.c_str(), std::strerror(error));
        return _T_status_of(error);
    }
    int result = FSUTILS_OK;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string child = path + "/" + name;
        const int status = _T_path_fits(child, function) ? _T_remove(::dirfd(dir), name, child, function)
                                                         : static_cast<int>(FSUTILS_TOO_LONG);
        if (result == FSUTILS_OK) result = status;
    }
    ::closedir(dir);
    return result;
}

// Removes name (inside parentFd) without following a symbolic link.
int _T_remove(int parentFd, const std::string &name, const std::string &path, const char *function) {
    struct stat st;
    if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        ZLOG_FAIL(function, "fail: rm <%s>", path.c_str());
        return _T_status_of(error);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(parentFd, name.c_str(), 0) == 0) return FSUTILS_OK;
        const int error = errno;
        ZLOG_FAIL(function, "fail: rm <%s>", path.c_str());
        return _T_status_of(error);
    }
    const int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        ZLOG_FAIL(function, "fail: opendir <%s> (%s)", path.c_str(), std::strerror(error));
        return _T_status_of(error);
    }
    const int result = _T_clear_fd(fd, path, function);
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
        const int error = errno;
        ZLOG_FAIL(function, "fail: rmdir <%s> (%s)", path.c_str(), std::strerror(error));
        return result != FSUTILS_OK ? result : _T_status_of(error);
    }
    return result;
}

using Zarn::Support::fd_holder;

bool _T_pread_all(int fd, unsigned char *out, size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, out, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// Rows y..y+h of columns x..x+w of a plane planeWidth wide starting at planeOffset.
bool _T_pread_rect(int fd, uint64_t planeOffset, uint64_t planeWidth, uint64_t x, uint64_t y, uint64_t w, uint64_t h,
                   unsigned char *out) {
    for (uint64_t row = 0; row < h; ++row) {
        const uint64_t offset = planeOffset + (y + row) * planeWidth + x;
        if (!_T_pread_all(fd, out + row * w, w, static_cast<off_t>(offset))) return false;
    }
    return true;
}

// Shared checks and reads of the two frame loaders; planes is 1 (grey) or 3 (I420).
int _T_load_frame(const char *function, int planes, const char *path, unsigned width, unsigned height, unsigned x,
                  unsigned y, unsigned w, unsigned h, unsigned char *buffer, size_t bufferSize, size_t *size) {
    if (!path || !*path || !buffer || !size || w == 0 || h == 0 || uint64_t(x) + w > width ||
        uint64_t(y) + h > height) {
        ZLOG_FAIL(function, "fail: invalid params");
        return FSUTILS_FAIL;
    }
    if (planes == 3 && ((width | height | x | y | w | h) & 1u)) {
        ZLOG_FAIL(function, "fail: odd frame geometry");
        return FSUTILS_FAIL;
    }
    const uint64_t frameLuma = uint64_t(width) * height;
    const uint64_t frameSize = planes == 3 ? frameLuma * 3 / 2 : frameLuma;
    const uint64_t luma = uint64_t(w) * h;
    const uint64_t needed = planes == 3 ? luma * 3 / 2 : luma;
    if (needed > bufferSize) {
        ZLOG_FAIL(function, "fail: buffer too small (size:%zu, needed:%lu)", bufferSize,
                  static_cast<unsigned long>(needed));
        return FSUTILS_FAIL;
    }
    fd_holder fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        ZLOG_FAIL(function, "fail: open <%s> (%s)", path, std::strerror(errno));
        return FSUTILS_FAIL;
    }
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) != frameSize) {
        ZLOG_FAIL(function, "fail: frame size <%s> (expected:%lu, actual:%lld)", path,
                  static_cast<unsigned long>(frameSize), static_cast<long long>(st.st_size));
        return FSUTILS_FAIL;
    }
    bool ok = _T_pread_rect(fd.get(), 0, width, x, y, w, h, buffer);
    if (ok && planes == 3) {
        const uint64_t chroma = luma / 4;
        ok = _T_pread_rect(fd.get(), frameLuma, width / 2, x / 2, y / 2, w / 2, h / 2, buffer + luma) &&
             _T_pread_rect(fd.get(), frameLuma + frameLuma / 4, width / 2, x / 2, y / 2, w / 2, h / 2,
                           buffer + luma + chroma);
    }
    if (!ok) {
        ZLOG_FAIL(function, "fail: pread <%s> (%s)", path, std::strerror(errno));
        return FSUTILS_FAIL;
    }
    *size = static_cast<size_t>(needed);
    return FSUTILS_OK;
}

}  // namespace

int fsutils_create_dir_r(int mode, const char *path) {
    if (!path || path[0] != '/') return FSUTILS_FAIL;
    std::string copy(path);
    if (copy.size() > FSUTILS_PATH_MAX) return FSUTILS_FAIL;
    return _T_mkdir_r(mode, &copy[0]);
}

int fsutils_mkdir_r(int mode, char *path, size_t length) {
    if (!path || path[0] != '/' || length > FSUTILS_PATH_MAX || std::strlen(path) != length) return FSUTILS_FAIL;
    return _T_mkdir_r(mode, path);
}

int fsutils_rm_r(const char *path) {
    if (!path || !*path) return FSUTILS_BAD_PATH;
    const std::string whole(path);
    if (!_T_path_fits(whole, "fsutils_rm_r")) return FSUTILS_TOO_LONG;
    // Split into parent and last component, so the last one is never followed either.
    std::string trimmed = whole;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const size_t slash = trimmed.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
    const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty() || name == "/" || name == "." || name == "..") {
        ZLOG_FAIL("fsutils_rm_r", "fail: rm <%s>", path);
        return FSUTILS_BAD_PATH;
    }
    fd_holder parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parentFd.get() < 0) {
        const int error = errno;
        ZLOG_FAIL("fsutils_rm_r", "fail: opendir <%s> (%s)", parent.c_str(), std::strerror(error));
        return _T_status_of(error);
    }
    return _T_remove(parentFd.get(), name, whole, "fsutils_rm_r");
}

int fsutils_clear_dir(const char *path) {
    if (!path || !*path) {
        ZLOG_FAIL("fsutils_clear_dir", "fail: path is not provided");
        return FSUTILS_BAD_PATH;
    }
    const std::string whole(path);
    if (!_T_path_fits(whole, "fsutils_clear_dir")) return FSUTILS_TOO_LONG;
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ZLOG_FAIL("fsutils_clear_dir", "fail: opendir <%s> (%s)", path, std::strerror(errno));
        return FSUTILS_FAIL;
    }
    return _T_clear_fd(fd, whole, "fsutils_clear_dir");
}

int fsutils_cp(const char *source, const char *target) {
    if (!source || !*source || !target || !*target) return FSUTILS_BAD_PATH;
    // The copy goes to a temporary file beside the target, renamed over it at the end.
    const std::string to(target);
    const size_t slash = to.rfind('/');
    const std::string temp =
        (slash == std::string::npos ? std::string() : to.substr(0, slash + 1)) + ".fsutils-cp-XXXXXX";
    if (std::strlen(source) > FSUTILS_PATH_MAX || to.size() > FSUTILS_PATH_MAX) return FSUTILS_TOO_LONG;

    fd_holder in(::open(source, O_RDONLY | O_CLOEXEC));
    struct stat sourceStat;
    if (in.get() < 0 || ::fstat(in.get(), &sourceStat) != 0) {
        const int error = errno;
        ZLOG_FAIL("fsutils_cp", "fail: open <%s> (%s)", source, std::strerror(error));
        return _T_status_of(error);
    }
    if (!S_ISREG(sourceStat.st_mode)) {
        ZLOG_FAIL("fsutils_cp", "fail: not a regular file <%s>", source);
        return FSUTILS_BAD_PATH;
    }
    struct stat targetStat;
    if (::lstat(target, &targetStat) == 0) {
        if (!S_ISREG(targetStat.st_mode) ||
            (targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino)) {
            ZLOG_FAIL("fsutils_cp", "fail: unusable target <%s>", target);
            return FSUTILS_BAD_PATH;
        }
    } else if (errno != ENOENT) {
        const int error = errno;
        ZLOG_FAIL("fsutils_cp", "fail: stat <%s> (%s)", target, std::strerror(error));
        return _T_status_of(error);
    }

    std::string tempPath = temp;
    fd_holder out(::mkostemp(&tempPath[0], O_CLOEXEC));
    if (out.get() < 0) {
        const int error = errno;
        ZLOG_FAIL("fsutils_cp", "fail: open <%s> (%s)", tempPath.c_str(), std::strerror(error));
        return _T_status_of(error);
    }
    bool ok = ::fchmod(out.get(), sourceStat.st_mode & 07777) == 0;
    off_t offset = 0;
    while (ok) {
        const ssize_t n = ::sendfile(out.get(), in.get(), &offset, size_t(1) << 20);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
    }
    if (!ok) ZLOG_FAIL("fsutils_cp", "fail: sendfile <%s> (%s)", source, std::strerror(errno));
    if (::close(out.release()) != 0 && ok) {
        ZLOG_FAIL("fsutils_cp", "fail: close <%s> (%s)", tempPath.c_str(), std::strerror(errno));
        ok = false;
    }
    if (ok && ::rename(tempPath.c_str(), target) != 0) {
        ZLOG_FAIL("fsutils_cp", "fail: rename <%s> (%s)", target, std::strerror(errno));
        ok = false;
    }
    if (!ok) {
        ::unlink(tempPath.c_str());
        return FSUTILS_FAIL;
    }
    return FSUTILS_OK;
}

int fsutils_load_i420(const char *path, unsigned width, unsigned height, unsigned x, unsigned y, unsigned w, unsigned h,
                      unsigned char *buffer, size_t bufferSize, size_t *size) {
    return _T_load_frame("fsutils_load_i420", 3, path, width, height, x, y, w, h, buffer, bufferSize, size);
}

int fsutils_load_mono8(const char *path, unsigned width, unsigned height, unsigned x, unsigned y, unsigned w,
                       unsigned h, unsigned char *buffer, size_t bufferSize, size_t *size) {
    return _T_load_frame("fsutils_load_mono8", 1, path, width, height, x, y, w, h, buffer, bufferSize, size);
}
