#include "fs/api.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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

#include "fs/zip_library.h"
#include "signal_window.h"
#include "zarn/support/exceptions.h"
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

// The entry that a write through path creates or replaces: path with the symbolic links
// at its end followed, a dangling one to the name it points at. False, errno set, when a
// link cannot be read or the links loop.
bool _T_follow_links(std::string path, std::string *target) {
    for (int links = 0;; ++links) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) return false;
            break;
        }
        if (!S_ISLNK(st.st_mode)) break;
        char text[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), text, sizeof text);
        if (length < 0) return false;
        if (links == kMaxLinks || static_cast<size_t>(length) == sizeof text) {
            errno = links == kMaxLinks ? ELOOP : ENAMETOOLONG;
            return false;
        }
        const std::string link(text, static_cast<size_t>(length));
        const size_t slash = path.rfind('/');
        path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
    *target = path;
    return true;
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

// Creates a new empty file beside target, named after it; its name goes to *name. Mode
// 0666 less the umask, as a plain create gives. False, errno set, on failure.
bool _T_create_temporary(const std::string &target, std::string *name) {
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const size_t room = NAME_MAX - (sizeof kTemporaryTag - 1) - kTemporaryRandom;
    if (base.size() > room) base.resize(room);
    for (int attempt = 0; attempt < kMaxTemporaryAttempts; ++attempt) {
        *name = folder + base + kTemporaryTag + _T_random_letters();
        const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

// Gives the finished temporary file the owner and permission bits of the file it
// replaces (an owner only where the process may give it) and puts its data on the disk.
void _T_finish_temporary(const std::string &temporary, const struct stat *replaced) {
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        ZLOG_FAIL(__func__, "fail: open <%s> (%s)", temporary.c_str(), std::strerror(errno));
        throw internal_error();
    }
    if (replaced) {
        struct stat own;
        if (::fstat(fd, &own) == 0 && (own.st_uid != replaced->st_uid || own.st_gid != replaced->st_gid) &&
            ::fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
            ZLOG_WARN(__func__, "fail: fchown <%s> (%s)", temporary.c_str(), std::strerror(errno));
        }
        if (::fchmod(fd, replaced->st_mode & 0777) != 0) {
            const int error = errno;
            ::close(fd);
            ZLOG_FAIL(__func__, "fail: fchmod <%s> (%s)", temporary.c_str(), std::strerror(error));
            throw internal_error();
        }
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        ZLOG_FAIL(__func__, "fail: fsync <%s> (%s)", temporary.c_str(), std::strerror(error));
        throw internal_error();
    }
    ::close(fd);
}

// Writes size bytes of data as the file `name`, creating or truncating it; `path` is the
// name the caller asked for, which the log lines show.
void _T_write_whole(const char *path, const char *name, unsigned char *data, unsigned long size) {
    const int fd = _T_open(name, O_WRONLY | O_CREAT | O_TRUNC);
    FILE *file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!file) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        ZLOG_FAIL("writeFile", "fail: fopen <%s> (%s)", path, std::strerror(error));
        throw internal_error();
    }
    const size_t written = std::fwrite(data, 1, size, file);
    if (written != size) {
        ZLOG_FAIL("writeFile", "fail: fwrite <%s> (expected-size:%lu, actual-size:%zu)", path, size, written);
        std::fclose(file);
        throw internal_error();
    }
    if (std::fflush(file) != 0) {
        ZLOG_FAIL("writeFile", "fail: fflush <%s> (%s)", path, std::strerror(errno));
        std::fclose(file);
        throw internal_error();
    }
    if (std::fclose(file) != 0) {
        ZLOG_FAIL("writeFile", "fail: fclose <%s> (%s)", path, std::strerror(errno));
        throw internal_error();
    }
}

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
    const int fd = _T_open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int error = fd < 0 ? errno : EISDIR;
        if (fd >= 0) ::close(fd);
        ZLOG_FAIL("readFile", "fail: fopen <%s> (errno:%s)\n", path, std::strerror(error));
        throw internal_error();
    }
    FILE *file = ::fdopen(fd, "rb");
    if (!file) {
        const int error = errno;
        ::close(fd);
        ZLOG_FAIL("readFile", "fail: fopen <%s> (errno:%s)\n", path, std::strerror(error));
        throw internal_error();
    }
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
    replaceFile(path, [&](const char *name) { _T_write_whole(path, name, data, size); });
    ZLOG_TRACE("writeFile", "done: <%s>", path);
}

void api::replaceFile(const char *path, const std::function<void(const char *name)> &make) {
    const std::string given(path);
    if (given.empty() || given.back() == '/') {
        ZLOG_FAIL(__func__, "fail: path names no file <%s>", path);
        throw internal_error();
    }
    struct stat existing;
    const bool exists = ::stat(path, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {  // nothing to rename over a device, a pipe or a folder
        make(path);
        return;
    }
    std::string target;
    if (!_T_follow_links(given, &target)) {
        ZLOG_FAIL(__func__, "fail: stat <%s> (%s)", path, std::strerror(errno));
        throw internal_error();
    }
    // Until the temporary file is renamed or removed, a signal that would end the command
    // waits: only a signal that cannot be caught leaves it behind.
    const signal_window window;
    std::string temporary;
    if (!_T_create_temporary(target, &temporary)) {
        ZLOG_FAIL(__func__, "fail: open <%s> (%s)", temporary.c_str(), std::strerror(errno));
        throw internal_error();
    }
    try {
        make(temporary.c_str());
        _T_finish_temporary(temporary, exists ? &existing : nullptr);
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            ZLOG_FAIL(__func__, "fail: rename <%s> <%s> (%s)", temporary.c_str(), target.c_str(), std::strerror(errno));
            throw internal_error();
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    ZLOG_TRACE(__func__, "done: <%s>", path);
}

void _T_add_entry(const zip_functions &zip, zip_t *archive, const char *name, unsigned char *data, unsigned long size) {
    zip_source_t *source = zip.zip_source_buffer(archive, data, size, 0);
    if (!source) {
        ZLOG_FAIL("createZip", "fail: zip_source_buffer (%s)", zip.zip_strerror(archive));
        zip.zip_discard(archive);
        throw internal_error();
    }
    if (zip.zip_file_add(archive, name, source, ZIP_FL_ENC_UTF_8) < 0) {
        ZLOG_FAIL("createZip", "fail: zip_file_add (%s)", zip.zip_strerror(archive));
        zip.zip_source_free(source);
        zip.zip_discard(archive);
        throw internal_error();
    }
}

void api::createZip(const char *zipPath, const char *name1, unsigned char *data1, unsigned long size1,
                    const char *name2, unsigned char *data2, unsigned long size2) {
    ZLOG_TRACE("createZip", "exec");
    const std::string path(zipPath);
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? path : path.substr(0, slash);
    if (fsutils_create_dir_r(0755, directory.c_str()) != 0)
        ZLOG_WARN("createZip", "fail: mkdir <%s>", directory.c_str());

    const zip_functions &zip = _zip.functions();
    int error = 0;
    zip_t *archive = zip.zip_open(zipPath, ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) {
        ZLOG_FAIL("createZip", "fail: zip_open (answer:%d)", error);
        throw internal_error();
    }
    _T_add_entry(zip, archive, name1, data1, size1);
    _T_add_entry(zip, archive, name2, data2, size2);
    if (zip.zip_close(archive) != 0) {
        ZLOG_FAIL("createZip", "fail: zip_close (%s)", zip.zip_strerror(archive));
        zip.zip_discard(archive);
        throw internal_error();
    }
    ZLOG_TRACE("createZip", "done");
}

// The folder an entry of `path` lives in.
std::string _T_parent(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0) return false;
    int attributes = 0;
    const bool fixed =
        ::ioctl(fd, FS_IOC_GETFLAGS, &attributes) == 0 && (attributes & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
    ::close(fd);
    return fixed;
}

// The archive's temporary file is renamed over the entry at path, in `directory`:
// refuses what that rename would refuse once the key is made.
void _T_check_replaceable(const char *path, const std::string &directory) {
    struct stat folder, entry;
    if (::stat(directory.c_str(), &folder) != 0) return;  // the probe in it reports this
    if (_T_is_fixed(directory.c_str(), O_DIRECTORY)) {
        ZLOG_FAIL("checkZip", "fail: not replaceable <%s> (immutable or append-only folder)", path);
        throw internal_error();
    }
    if (::lstat(path, &entry) != 0) return;  // nothing to replace
    const uid_t self = ::geteuid();
    if ((folder.st_mode & S_ISVTX) && self != entry.st_uid && self != folder.st_uid && !_T_has_fowner()) {
        ZLOG_FAIL("checkZip", "fail: not replaceable <%s> (sticky folder, owner:%u)", path,
                  static_cast<unsigned>(entry.st_uid));
        throw internal_error();
    }
    if (S_ISREG(entry.st_mode) && _T_is_fixed(path, O_NOFOLLOW)) {
        ZLOG_FAIL("checkZip", "fail: not replaceable <%s> (immutable or append-only)", path);
        throw internal_error();
    }
}

// Adds both entries to an archive in memory: libzip refuses here whatever name it
// would refuse in createZip (a name flagged UTF-8 that is not, a repeated name).
void _T_check_entry_names(const zip_functions &zip, const char *name1, const char *name2) {
    zip_error_t error;
    zip.zip_error_init(&error);
    zip_source_t *memory = zip.zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t *archive = memory ? zip.zip_open_from_source(memory, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
    if (!archive) {
        ZLOG_FAIL("checkZip", "fail: zip_open_from_source (%s)", zip.zip_error_strerror(&error));
        zip.zip_source_free(memory);
        zip.zip_error_fini(&error);
        throw internal_error();
    }
    zip.zip_error_fini(&error);
    for (const char *name : {name1, name2}) {
        zip_source_t *source = zip.zip_source_buffer(archive, nullptr, 0, 0);
        if (!source || zip.zip_file_add(archive, name, source, ZIP_FL_ENC_UTF_8) < 0) {
            ZLOG_FAIL("checkZip", "fail: entry name <%s> (%s)", name, zip.zip_strerror(archive));
            zip.zip_source_free(source);
            zip.zip_discard(archive);
            throw internal_error();
        }
    }
    zip.zip_discard(archive);
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
    _T_check_entry_names(_zip.functions(), name1, name2);
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
    // libzip opens an existing archive for reading before it truncates it.
    struct stat st;
    if (::stat(zipPath, &st) != 0) {
        if (errno != ENOENT) {
            ZLOG_FAIL("checkZip", "fail: stat <%s> (%s)", zipPath, std::strerror(errno));
            throw internal_error();
        }
    } else if (!S_ISREG(st.st_mode)) {  // libzip replaces regular files only
        ZLOG_FAIL("checkZip", "fail: not a regular file <%s>", zipPath);
        throw internal_error();
    } else {
        const int fd = ::open(zipPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            ZLOG_FAIL("checkZip", "fail: open <%s> (%s)", zipPath, std::strerror(errno));
            throw internal_error();
        }
        ::close(fd);
    }
    _T_check_replaceable(zipPath, directory);
    // The archive is written to a temporary file beside it and renamed: try exactly that.
    // A signal that would end the command waits until the probe is gone again.
    std::string probe = path + ".XXXXXX";
    {
        const signal_window window;
        const int fd = ::mkostemp(&probe[0], O_CLOEXEC);
        if (fd < 0) {
            ZLOG_FAIL("checkZip", "fail: mkstemp <%s> (%s)", probe.c_str(), std::strerror(errno));
            throw internal_error();
        }
        ::close(fd);
        ::unlink(probe.c_str());
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
    if (S_ISFIFO(st.st_mode)) {
        ZLOG_FAIL("checkPassage", "fail: FIFO in place of a file <%s>", writePath);
        throw internal_error();
    }
    if (st.st_dev == data.st_dev && st.st_ino == data.st_ino) {  // also through a link
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
