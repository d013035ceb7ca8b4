#include "fs/api.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "fs/zip_library.h"
#include "signal_window.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/fd_holder.h"
#include "zarn/support/log.h"
#include "zarn/support/zrc_fs.h"

namespace Zarn {
namespace Support {
namespace VekCli {
namespace Fs {

namespace {

constexpr unsigned long long kMaxFileSize = 0xFFFFFFFFull;  // sizes stay below 4 GiB
constexpr size_t kMaxEntryName = 0xFFFF;                    // a zip entry name holds 16 bits of length

// Opens without blocking on a FIFO, then switches the descriptor back to blocking.
int _T_open(const char *path, int flags) {
    const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

constexpr char kTemporaryTag[] = ".vek-cli-";  // a temporary file is "<target>.vek-cli-XXXXXX"
constexpr size_t kTemporaryRandom = 6;
constexpr int kMaxTemporaryAttempts = 100;
constexpr int kMaxLinks = 40;  // the kernel's own limit of symbolic links in one lookup

// The folder an entry of `path` lives in.
std::string _T_parent(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// `name` in `folder`; an empty folder is the working one.
std::string _T_join(const std::string &folder, const std::string &name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Where a write through a name lands.
struct landing {
    int descriptor = -1;  // a descriptor of this process that the name stands for; else:
    std::string folder;   // the entry's folder, reached without a symbolic link ("": the working one)
    std::string name;     // the entry's name in it
    std::string entry;    // both joined
    bool exists = false;
    struct stat st = {};  // the entry's own, when it exists

    // Written through what is there: a descriptor, a pipe, a device (and a folder, which
    // fails); only a regular file, or nothing, is replaced by a rename.
    bool inPlace() const { return descriptor >= 0 || (exists && !S_ISREG(st.st_mode)); }
};

// Appends the parts of a path so that its first part is taken next from the back.
void _T_push_parts(const std::string &path, std::vector<std::string> *pending) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    pending->insert(pending->end(), parts.rbegin(), parts.rend());
}

// Whether the folder walked is this process's descriptor folder, /proc/<pid>/fd or
// /proc/<pid>/task/<tid>/fd, in which the links are its open descriptors.
bool _T_is_own_descriptor_folder(const std::vector<std::string> &walked) {
    const std::string self = std::to_string(::getpid());
    if (walked.size() < 3 || walked[0] != "proc" || walked[1] != self || walked.back() != "fd") return false;
    return walked.size() == 3 || (walked.size() == 5 && walked[2] == "task");
}

// A descriptor number written as decimal digits only, else -1.
int _T_descriptor_number(const std::string &text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoi(text);
}

// Finds where a write through `path` lands, following its symbolic links one by one as
// the kernel does with fs.protected_symlinks on: a link in a sticky folder that everybody
// may write is followed only when it is the caller's or the folder owner's. A link to
// one of this process's descriptors (/dev/stdout, /dev/fd/N, /proc/self/fd/N) stops the
// walk at that descriptor. False, logged, when the walk fails or a link is refused.
bool _T_locate(const std::string &path, landing *out) {
    std::vector<std::string> pending;
    _T_push_parts(path, &pending);
    bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string> walked;  // folders only, never a link
    int links = 0;
    while (!pending.empty()) {
        const std::string part = pending.back();
        pending.pop_back();
        const bool last = pending.empty();
        if (!last && part == ".") continue;
        if (!last && part == "..") {
            if (!walked.empty() && walked.back() != "..") {
                walked.pop_back();
            } else if (!absolute) {
                walked.push_back(part);
            }
            continue;
        }
        std::string folder = absolute ? "/" : "";
        for (const std::string &each : walked) folder = _T_join(folder, each);
        const std::string entry = _T_join(folder, part);
        struct stat st;
        if (::lstat(entry.c_str(), &st) != 0) {
            if (errno == ENOENT && last) {
                *out = landing{-1, folder, part, entry, false, {}};
                return true;
            }
            ZLOG_FAIL(__func__, "fail: stat <%s> (%s)", path.c_str(), std::strerror(errno));
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            const int descriptor = absolute && _T_is_own_descriptor_folder(walked) ? _T_descriptor_number(part) : -1;
            if (descriptor >= 0) {
                *out = landing{descriptor, folder, part, entry, true, st};
                return true;
            }
            struct stat holder;
            if (::stat(folder.empty() ? "." : folder.c_str(), &holder) != 0) {
                ZLOG_FAIL(__func__, "fail: stat <%s> (%s)", folder.c_str(), std::strerror(errno));
                return false;
            }
            const uid_t self = ::geteuid();
            if ((holder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && st.st_uid != self &&
                st.st_uid != holder.st_uid) {
                ZLOG_FAIL(__func__, "fail: link not followed <%s> (sticky folder, link-owner:%u, folder-owner:%u)",
                          entry.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(holder.st_uid));
                return false;
            }
            char text[PATH_MAX];
            const ssize_t length = ::readlink(entry.c_str(), text, sizeof text);
            int error = length < 0 ? errno : 0;
            if (error == 0 && ++links > kMaxLinks) error = ELOOP;
            if (error == 0 && static_cast<size_t>(length) == sizeof text) error = ENAMETOOLONG;
            if (error == 0 && length == 0) error = ENOENT;
            if (error != 0) {
                ZLOG_FAIL(__func__, "fail: stat <%s> (%s)", path.c_str(), std::strerror(error));
                return false;
            }
            if (text[0] == '/') {
                absolute = true;
                walked.clear();
            }
            _T_push_parts(std::string(text, static_cast<size_t>(length)), &pending);
            if (pending.empty()) pending.push_back(".");  // a link to "/": the root itself
            continue;
        }
        if (last) {
            *out = landing{-1, folder, part, entry, true, st};
            return true;
        }
        if (!S_ISDIR(st.st_mode)) {
            ZLOG_FAIL(__func__, "fail: stat <%s> (%s)", path.c_str(), std::strerror(ENOTDIR));
            return false;
        }
        walked.push_back(part);
    }
    ZLOG_FAIL(__func__, "fail: path names no file <%s>", path.c_str());
    return false;
}

// kTemporaryRandom letters and digits from the kernel's random source; where it gives
// none, from the clock (the exclusive create still refuses a name in use).
std::string _T_random_letters() {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kTemporaryRandom];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(now.tv_nsec >> (5 * i));
    }
    std::string letters;
    for (const unsigned char byte : bytes) letters += kAlphabet[byte % (sizeof kAlphabet - 1)];
    return letters;
}

// Gives the file open at fd, named `name`, the owner (where the process may give it)
// and the permission bits of the file it replaces.
void _T_give_attributes(int fd, const std::string &name, const struct stat &replaced) {
    struct stat own;
    if (::fstat(fd, &own) == 0 && (own.st_uid != replaced.st_uid || own.st_gid != replaced.st_gid) &&
        ::fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
        ZLOG_WARN(__func__, "fail: fchown <%s> (%s)", name.c_str(), std::strerror(errno));
    }
    if (::fchmod(fd, replaced.st_mode & 0777) != 0) {
        ZLOG_FAIL(__func__, "fail: fchmod <%s> (%s)", name.c_str(), std::strerror(errno));
        throw internal_error();
    }
}

// A new file beside a target, named after it.
struct temporary_file {
    std::string name;
    ino_t inode = 0;
};

// Creates a new empty file beside target, with the owner and permission bits of the
// file it replaces (`replaced`, or null: mode 0666 less the umask, as a plain create
// gives) from the start. internal_error, logged, on failure.
temporary_file _T_create_temporary(const landing &target, const struct stat *replaced) {
    std::string base = target.name;
    const size_t room = NAME_MAX - (sizeof kTemporaryTag - 1) - kTemporaryRandom;
    if (base.size() > room) base.resize(room);
    const mode_t mode = replaced ? replaced->st_mode & 0777 : 0666;
    temporary_file made;
    for (int attempt = 0; attempt < kMaxTemporaryAttempts; ++attempt) {
        made.name = _T_join(target.folder, base + kTemporaryTag + _T_random_letters());
        fd_holder fd(::open(made.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd.get() < 0) {
            if (errno == EEXIST) continue;
            ZLOG_FAIL(__func__, "fail: open <%s> (%s)", made.name.c_str(), std::strerror(errno));
            throw internal_error();
        }
        try {
            struct stat st;
            if (::fstat(fd.get(), &st) != 0) {
                ZLOG_FAIL(__func__, "fail: fstat <%s> (%s)", made.name.c_str(), std::strerror(errno));
                throw internal_error();
            }
            made.inode = st.st_ino;
            if (replaced) _T_give_attributes(fd.get(), made.name, *replaced);
        } catch (...) {
            ::unlink(made.name.c_str());
            throw;
        }
        return made;
    }
    ZLOG_FAIL(__func__, "fail: open <%s> (%s)", made.name.c_str(), std::strerror(EEXIST));
    throw internal_error();
}

// Puts the finished temporary file's data on the disk; a file that `make` put in its
// place gets the attributes of the one it replaces again.
void _T_finish_temporary(const temporary_file &temporary, const struct stat *replaced) {
    fd_holder fd(::open(temporary.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        ZLOG_FAIL(__func__, "fail: open <%s> (%s)", temporary.name.c_str(), std::strerror(errno));
        throw internal_error();
    }
    struct stat st;
    if (replaced && ::fstat(fd.get(), &st) == 0 && st.st_ino != temporary.inode)
        _T_give_attributes(fd.get(), temporary.name, *replaced);
    if (::fsync(fd.get()) != 0) {
        ZLOG_FAIL(__func__, "fail: fsync <%s> (%s)", temporary.name.c_str(), std::strerror(errno));
        throw internal_error();
    }
}

// Puts a folder's entries, a rename among them, on the disk.
void _T_sync_folder(const std::string &folder) {
    const char *name = folder.empty() ? "." : folder.c_str();
    fd_holder fd(::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
        if (fd.get() >= 0 && errno == EINVAL) {  // a file system that syncs no folder
            ZLOG_WARN(__func__, "fail: fsync <%s> (%s)", name, std::strerror(errno));
            return;
        }
        ZLOG_FAIL(__func__, "fail: fsync <%s> (%s)", name, std::strerror(errno));
        throw internal_error();
    }
}

// `make` writes the new file beside the target, which is then synced and renamed over
// the target, and the rename synced; on any failure before the rename it is removed.
void _T_replace_by_rename(const landing &target, const std::function<void(const char *name)> &make) {
    const struct stat *replaced = target.exists ? &target.st : nullptr;
    const temporary_file temporary = _T_create_temporary(target, replaced);
    try {
        make(temporary.name.c_str());
        _T_finish_temporary(temporary, replaced);
        if (::rename(temporary.name.c_str(), target.entry.c_str()) != 0) {
            ZLOG_FAIL(__func__, "fail: rename <%s> <%s> (%s)", temporary.name.c_str(), target.entry.c_str(),
                      std::strerror(errno));
            throw internal_error();
        }
    } catch (...) {
        ::unlink(temporary.name.c_str());
        throw;
    }
    _T_sync_folder(target.folder);
}

// Writes all of data to fd, waiting where fd does not block.
bool _T_write_all(int fd, const unsigned char *data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd ready = {fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return false;
            continue;
        }
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies the whole file open at `from` into `to`, from where `to` stands.
bool _T_copy_whole(int from, int to) {
    unsigned char buffer[1 << 16];
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(from, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        if (!_T_write_all(to, buffer, static_cast<size_t>(n))) return false;
        offset += n;
    }
}

// `make` writes the output whole into an anonymous file, which is then copied into what
// the name stands for: one of the process's descriptors, or the pipe or device there,
// opened without waiting for a reader. Nothing is renamed over it; a regular file behind
// a descriptor is synced.
void _T_write_in_place(const std::string &path, const landing &target,
                       const std::function<void(const char *name)> &make) {
    const fd_holder opened(target.descriptor < 0 ? _T_open(target.entry.c_str(), O_WRONLY | O_NOCTTY) : -1);
    const int to = target.descriptor < 0 ? opened.get() : target.descriptor;
    if (to < 0) {
        ZLOG_FAIL(__func__, "fail: open <%s> (%s)", path.c_str(), std::strerror(errno));
        throw internal_error();
    }
    const int flags = ::fcntl(to, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        ZLOG_FAIL(__func__, "fail: descriptor <%s> (fd:%d, %s)", path.c_str(), to, std::strerror(flags < 0 ? errno : EBADF));
        throw internal_error();
    }
    const fd_holder whole(::memfd_create("vek-cli-output", MFD_CLOEXEC));
    if (whole.get() < 0) {
        ZLOG_FAIL(__func__, "fail: memfd_create (%s)", std::strerror(errno));
        throw internal_error();
    }
    make(("/proc/self/fd/" + std::to_string(whole.get())).c_str());
    if (!_T_copy_whole(whole.get(), to)) {
        ZLOG_FAIL(__func__, "fail: write <%s> (%s)", path.c_str(), std::strerror(errno));
        throw internal_error();
    }
    struct stat st;
    if (::fstat(to, &st) == 0 && S_ISREG(st.st_mode) && ::fsync(to) != 0) {
        ZLOG_FAIL(__func__, "fail: fsync <%s> (%s)", path.c_str(), std::strerror(errno));
        throw internal_error();
    }
}

// Writes size bytes of data as the file `name`, creating or truncating it; `path` is the
// name the caller asked for, which the log lines of `function` show.
void _T_write_whole(const char *function, const char *path, const char *name, const unsigned char *data,
                    unsigned long size) {
    const int fd = _T_open(name, O_WRONLY | O_CREAT | O_TRUNC);
    FILE *file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!file) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        ZLOG_FAIL(function, "fail: fopen <%s> (%s)", path, std::strerror(error));
        throw internal_error();
    }
    const size_t written = std::fwrite(data, 1, size, file);
    if (written != size) {
        ZLOG_FAIL(function, "fail: fwrite <%s> (expected-size:%lu, actual-size:%zu)", path, size, written);
        std::fclose(file);
        throw internal_error();
    }
    if (std::fflush(file) != 0) {
        ZLOG_FAIL(function, "fail: fflush <%s> (%s)", path, std::strerror(errno));
        std::fclose(file);
        throw internal_error();
    }
    if (std::fclose(file) != 0) {
        ZLOG_FAIL(function, "fail: fclose <%s> (%s)", path, std::strerror(errno));
        throw internal_error();
    }
}

// A zip archive built in memory: libzip refuses its entries as it would in a file, and
// the whole archive comes out as bytes. What is not taken out is discarded.
class memory_archive {
public:
    explicit memory_archive(const zip_functions &zip) : _zip(zip) {
        zip_error_t error;
        _zip.zip_error_init(&error);
        zip_source_t *memory = _zip.zip_source_buffer_create(nullptr, 0, 0, &error);
        _archive = memory ? _zip.zip_open_from_source(memory, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
        if (!_archive) {
            ZLOG_FAIL(__func__, "fail: zip_open_from_source (%s)", _zip.zip_error_strerror(&error));
            _zip.zip_source_free(memory);
            _zip.zip_error_fini(&error);
            throw internal_error();
        }
        _zip.zip_error_fini(&error);
        _zip.zip_source_keep(memory);  // the archive writes into it when it closes
        _memory = memory;
    }
    ~memory_archive() {
        if (_archive) _zip.zip_discard(_archive);
        _zip.zip_source_free(_memory);
    }
    memory_archive(const memory_archive &) = delete;
    memory_archive &operator=(const memory_archive &) = delete;

    // An entry holding size bytes of data, which stay the caller's and must live as long
    // as the archive.
    void addEntry(const char *name, const unsigned char *data, unsigned long size) {
        zip_source_t *source = _zip.zip_source_buffer(_archive, data, size, 0);
        if (!source) {
            ZLOG_FAIL(__func__, "fail: zip_source_buffer (%s)", _zip.zip_strerror(_archive));
            throw internal_error();
        }
        if (_zip.zip_file_add(_archive, name, source, ZIP_FL_ENC_UTF_8) < 0) {
            ZLOG_FAIL(__func__, "fail: zip_file_add <%s> (%s)", name, _zip.zip_strerror(_archive));
            _zip.zip_source_free(source);
            throw internal_error();
        }
    }

    // Closes the archive and returns its bytes.
    std::string takeBytes() {
        if (_zip.zip_close(_archive) != 0) {
            ZLOG_FAIL(__func__, "fail: zip_close (%s)", _zip.zip_strerror(_archive));
            throw internal_error();
        }
        _archive = nullptr;
        zip_stat_t st;
        _zip.zip_stat_init(&st);
        if (_zip.zip_source_stat(_memory, &st) != 0 || !(st.valid & ZIP_STAT_SIZE) ||
            _zip.zip_source_open(_memory) != 0) {
            ZLOG_FAIL(__func__, "fail: zip_source_open (%s)", _zip.zip_error_strerror(_zip.zip_source_error(_memory)));
            throw internal_error();
        }
        std::string bytes(static_cast<size_t>(st.size), '\0');
        const zip_int64_t read = _zip.zip_source_read(_memory, &bytes[0], st.size);
        _zip.zip_source_close(_memory);
        if (read < 0 || static_cast<zip_uint64_t>(read) != st.size) {
            ZLOG_FAIL(__func__, "fail: zip_source_read (%s)", _zip.zip_error_strerror(_zip.zip_source_error(_memory)));
            throw internal_error();
        }
        return bytes;
    }

private:
    const zip_functions &_zip;
    zip_source_t *_memory = nullptr;
    zip_t *_archive = nullptr;
};

class api : public api_like {
public:
    explicit api(const std::string &zipSoname) : _zip(zipSoname) {}
    void createZip(const char *zipPath, const char *name1, unsigned char *data1, unsigned long size1, const char *name2,
                   unsigned char *data2, unsigned long size2) override;
    void writeFile(const char *path, unsigned char *data, unsigned long size) override;
    std::unique_ptr<unsigned char[]> readFile(const char *path, unsigned long *size) override;
    void checkZip(const char *zipPath, const char *name1, const char *name2) override;
    void checkPassage(const char *readPath, const char *writePath) override;
    void replaceFile(const char *path, const std::function<void(const char *name)> &make) override;

private:
    zip_library _zip;
};

std::unique_ptr<unsigned char[]> api::readFile(const char *path, unsigned long *size) {
    fd_holder fd(_T_open(path, O_RDONLY));
    if (fd.get() < 0) {
        ZLOG_FAIL("readFile", "fail: fopen <%s> (errno:%s)\n", path, std::strerror(errno));
        throw internal_error();
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        ZLOG_FAIL("readFile", "fail: fstat <%s> (errno:%s)\n", path, std::strerror(errno));
        throw internal_error();
    }
    if (S_ISDIR(st.st_mode)) {
        ZLOG_FAIL("readFile", "fail: fopen <%s> (errno:%s)\n", path, std::strerror(EISDIR));
        throw internal_error();
    }
    FILE *file = ::fdopen(fd.get(), "rb");
    if (!file) {
        ZLOG_FAIL("readFile", "fail: fopen <%s> (errno:%s)\n", path, std::strerror(errno));
        throw internal_error();
    }
    fd.release();  // the stream has it now
    off_t end = -1;
    if (::fseeko(file, 0, SEEK_END) == 0) end = ::ftello(file);
    if (end < 0 || ::fseeko(file, 0, SEEK_SET) != 0) {
        const int error = errno;
        std::fclose(file);
        ZLOG_FAIL("readFile", "fail: fseek <%s> (%s)\n", path, std::strerror(error));
        throw internal_error();
    }
    if (static_cast<unsigned long long>(end) > kMaxFileSize) {
        std::fclose(file);
        ZLOG_FAIL("readFile", "fail: file too large <%s> (size:%lld, max-size:%llu)\n", path,
                  static_cast<long long>(end), kMaxFileSize);
        throw internal_error();
    }
    const size_t length = static_cast<size_t>(end);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[length ? length : 1]);
    errno = 0;
    if (std::fread(buffer.get(), length, 1, file) != 1) {
        const char *reason = std::ferror(file) ? std::strerror(errno) : "end of file";
        ZLOG_FAIL("readFile", "fail: fread <%s> (%s)\n", path, reason);
        std::fclose(file);
        throw internal_error();
    }
    std::fclose(file);
    *size = length;
    return buffer;
}

void api::writeFile(const char *path, unsigned char *data, unsigned long size) {
    replaceFile(path, [&](const char *name) { _T_write_whole("writeFile", path, name, data, size); });
    ZLOG_TRACE("writeFile", "done: <%s>", path);
}

void api::replaceFile(const char *path, const std::function<void(const char *name)> &make) {
    const std::string given(path);
    if (given.empty() || given.back() == '/') {
        ZLOG_FAIL(__func__, "fail: path names no file <%s>", path);
        throw internal_error();
    }
    landing target;
    if (!_T_locate(given, &target)) throw internal_error();
    // While the output is being made and put in place, a signal that would end the
    // command waits: only a signal that cannot be caught leaves a temporary file behind.
    const signal_window window;
    if (target.inPlace()) {
        _T_write_in_place(given, target, make);
    } else {
        _T_replace_by_rename(target, make);
    }
    ZLOG_TRACE(__func__, "done: <%s>", path);
}

void api::createZip(const char *zipPath, const char *name1, unsigned char *data1, unsigned long size1,
                    const char *name2, unsigned char *data2, unsigned long size2) {
    ZLOG_TRACE("createZip", "exec");
    const std::string directory = _T_parent(zipPath);
    if (fsutils_create_dir_r(0755, directory.c_str()) != 0)
        ZLOG_WARN("createZip", "fail: mkdir <%s>", directory.c_str());
    std::string bytes;
    {
        memory_archive archive(_zip.functions());
        archive.addEntry(name1, data1, size1);
        archive.addEntry(name2, data2, size2);
        bytes = archive.takeBytes();
    }
    replaceFile(zipPath, [&](const char *name) {
        _T_write_whole("createZip", zipPath, name, reinterpret_cast<const unsigned char *>(bytes.data()),
                       bytes.size());
    });
    ZLOG_TRACE("createZip", "done");
}

// Whether the process may override a sticky folder's rule.
bool _T_has_fowner() {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_FOWNER / 32].effective & (1u << (CAP_FOWNER % 32))) != 0;
}

// Whether the inode at path is immutable or append-only (nothing then renames it or
// over it); false where the file system keeps no such flags.
bool _T_is_fixed(const char *path, int flags) {
    const fd_holder fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
    if (fd.get() < 0) return false;
    int attributes = 0;
    return ::ioctl(fd.get(), FS_IOC_GETFLAGS, &attributes) == 0 && (attributes & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

// The archive's temporary file is renamed over the target in its folder: refuses what
// that rename would refuse once the key is made.
void _T_check_replaceable(const char *path, const landing &target) {
    const std::string folderName = target.folder.empty() ? "." : target.folder;
    struct stat folder;
    if (::stat(folderName.c_str(), &folder) != 0) return;  // the probe in it reports this
    if (_T_is_fixed(folderName.c_str(), O_DIRECTORY)) {
        ZLOG_FAIL("checkZip", "fail: not replaceable <%s> (immutable or append-only folder)", path);
        throw internal_error();
    }
    if (!target.exists) return;  // nothing to replace
    const uid_t self = ::geteuid();
    if ((folder.st_mode & S_ISVTX) && self != target.st.st_uid && self != folder.st_uid && !_T_has_fowner()) {
        ZLOG_FAIL("checkZip", "fail: not replaceable <%s> (sticky folder, owner:%u)", path,
                  static_cast<unsigned>(target.st.st_uid));
        throw internal_error();
    }
    if (_T_is_fixed(target.entry.c_str(), O_NOFOLLOW)) {
        ZLOG_FAIL("checkZip", "fail: not replaceable <%s> (immutable or append-only)", path);
        throw internal_error();
    }
}

void api::checkZip(const char *zipPath, const char *name1, const char *name2) {
    for (const char *name : {name1, name2}) {
        if (!name || !*name || std::strlen(name) > kMaxEntryName) {
            ZLOG_FAIL("checkZip", "fail: entry name <%s> (size:%zu, max-size:%zu)", name ? name : "",
                      name ? std::strlen(name) : 0, kMaxEntryName);
            throw internal_error();
        }
    }
    if (std::strcmp(name1, name2) == 0) {
        ZLOG_FAIL("checkZip", "fail: entry names equal <%s>", name1);
        throw internal_error();
    }
    {
        // libzip refuses here whatever name it would refuse in createZip (a name flagged
        // UTF-8 that is not, a repeated name).
        memory_archive archive(_zip.functions());
        for (const char *name : {name1, name2}) archive.addEntry(name, nullptr, 0);
    }
    const std::string path(zipPath);
    // No file can be renamed to either, though a probe beside it would succeed.
    if (path.empty() || path.back() == '/') {
        ZLOG_FAIL("checkZip", "fail: zip path names no file <%s>", zipPath);
        throw internal_error();
    }
    const std::string directory = _T_parent(path);
    if (path[0] == '/' && fsutils_create_dir_r(0755, directory.c_str()) != 0) {
        ZLOG_FAIL("checkZip", "fail: mkdir <%s>", directory.c_str());
        throw internal_error();
    }
    landing target;
    if (!_T_locate(path, &target)) throw internal_error();
    // The archive is made before it is written: what is written in place could only
    // ever get it after the key.
    if (target.descriptor >= 0) {
        ZLOG_FAIL("checkZip", "fail: descriptor in place of a file <%s> (fd:%d)", zipPath, target.descriptor);
        throw internal_error();
    }
    if (target.inPlace()) {
        ZLOG_FAIL("checkZip", "fail: not a regular file <%s>", zipPath);
        throw internal_error();
    }
    _T_check_replaceable(zipPath, target);
    // The archive's temporary file is made beside its target: try exactly that. A signal
    // that would end the command waits until the probe is gone again.
    {
        const signal_window window;
        const temporary_file probe = _T_create_temporary(target, nullptr);
        ::unlink(probe.name.c_str());
    }
    ZLOG_TRACE("checkZip", "done: <%s>", zipPath);
}

void api::checkPassage(const char *readPath, const char *writePath) {
    struct stat st;
    if (::stat(readPath, &st) != 0 || !S_ISREG(st.st_mode)) {
        ZLOG_FAIL("checkPassage", "fail: not a regular file <%s>", readPath);
        throw internal_error();
    }
    const struct stat data = st;
    if (::stat(writePath, &st) != 0) return;
    if (st.st_dev == data.st_dev && st.st_ino == data.st_ino) {  // also through a link or a descriptor
        ZLOG_FAIL("checkPassage", "fail: same file <%s> <%s>", readPath, writePath);
        throw internal_error();
    }
}

}  // namespace

std::shared_ptr<api_like> Api__Create() { return Api__Create(VEK_LIBZIP_SONAME); }

std::shared_ptr<api_like> Api__Create(const std::string &zipSoname) { return std::make_shared<api>(zipSoname); }

}  // namespace Fs
}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
