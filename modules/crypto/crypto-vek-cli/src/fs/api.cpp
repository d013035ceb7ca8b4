#include "fs/api.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "fs/zip_library.h"
#include "signal_window.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/fd_holder.h"
#include "zarn/support/log.h"

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
constexpr int kMaxLinks = 40;            // the kernel's own limit of symbolic links in one lookup
constexpr mode_t kFolderMode = 0755;     // of folders made for an archive, less the umask
constexpr mode_t kTemporaryMode = 0600;  // of a temporary file while it is written

bool _T_same(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// `name` in `folder`; an empty folder is the working one.
std::string _T_join(const std::string &folder, const std::string &name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The descriptors the caller passed, as they were when noted.
struct passed_descriptor {
    int fd;
    struct stat st;
};
std::vector<passed_descriptor> _s_passed;
bool _s_passedNoted = false;

// The process's open descriptors, but those open O_PATH (what a walk holds).
std::vector<int> _T_open_descriptors() {
    std::vector<int> fds;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir) {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) fds.push_back(fd);
        return fds;
    }
    while (const dirent *entry = ::readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        const int flags = *entry->d_name && !*end && fd != ::dirfd(dir) ? ::fcntl(int(fd), F_GETFL) : -1;
        if (flags >= 0 && !(flags & O_PATH)) fds.push_back(int(fd));
    }
    ::closedir(dir);
    return fds;
}

// Of the descriptors open now that are the object `st`: a writable one the caller
// passed, else -1; *held whether any is.
int _T_descriptor_of(const struct stat &object, bool *held) {
    if (!_s_passedNoted) NoteCallerDescriptors();
    *held = false;
    int found = -1;
    for (const int fd : _T_open_descriptors()) {
        struct stat st;
        if (::fstat(fd, &st) != 0 || !_T_same(st, object)) continue;
        *held = true;
        bool passed = false;
        for (const passed_descriptor &each : _s_passed) passed = passed || (each.fd == fd && _T_same(each.st, st));
        if (passed && found < 0 && (::fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY) found = fd;
    }
    return found;
}

// Folders made for an output, each by its parent, removed again unless kept.
struct made_folder {
    fd_holder parent;
    std::string name;
};

// Where an output goes, found once and held open from the check to the write: a folder
// and a name in it (with what is there, if anything), or an object reached through a
// descriptor's link.
struct located {
    std::string shown;     // the name as given, for the log
    fd_holder folder;      // O_PATH; none where a descriptor's link led to the object
    struct stat folderSt = {};
    std::string name;      // in the folder
    fd_holder object;      // O_PATH: what is there; none where nothing is
    struct stat st = {};
    int passed = -1;       // the caller's descriptor that is the object
    std::vector<made_folder> made;
    bool keep = false;     // the output was written: the folders made stay

    located() = default;
    located(const located &) = delete;
    located &operator=(const located &) = delete;
    ~located() {
        if (keep) return;
        for (auto each = made.rbegin(); each != made.rend(); ++each)
            ::unlinkat(each->parent.get(), each->name.c_str(), AT_REMOVEDIR);
    }
    bool exists() const { return object.get() >= 0; }
    // Written through what is there: a descriptor, a pipe, a device (and a folder, which
    // fails); only a regular file, or nothing, is replaced by a rename.
    bool inPlace() const { return passed >= 0 || (exists() && !S_ISREG(st.st_mode)); }
};

// Appends the parts of a path so that its first part is taken next from the back; a
// path that ends in '/' ends in "." so that its last part must be a folder.
void _T_push_parts(const std::string &path, std::vector<std::string> *pending) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    if (!path.empty() && path.back() == '/') parts.push_back(".");
    pending->insert(pending->end(), parts.rbegin(), parts.rend());
}

// Puts a folder's entries on the disk: `readable` (the folder open for reading) synced,
// or where the folder cannot be read, the whole file system of `other`. 0 or the error.
int _T_sync_entries(int readable, int other) {
    const int result = readable >= 0 ? ::fsync(readable) : ::syncfs(other);
    return result == 0 ? 0 : errno;
}

// The error of a sync that follows a change already made: only an I/O error fails; a
// file system that syncs no folder is noted.
void _T_after_sync(int error, const std::string &shown) {
    if (error == 0) return;
    if (error == EIO) {
        ZLOG_FAIL("_T_after_sync", "fail: fsync <%s> (%s)", shown.c_str(), std::strerror(error));
        throw internal_error();
    }
    ZLOG_WARN("_T_after_sync", "fail: fsync <%s> (%s)", shown.c_str(), std::strerror(error));
}

// Makes the folder `name` in `at`, noted in `out` so that it goes again when the output is
// not written, and puts its entry on the disk. The new folder open O_PATH, or -1.
int _T_make_folder(int at, const std::string &name, const std::string &shown, located *out) {
    if (::mkdirat(at, name.c_str(), kFolderMode) == 0) {
        out->made.push_back({fd_holder(::fcntl(at, F_DUPFD_CLOEXEC, 0)), name});
        const fd_holder readable(::openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const fd_holder made(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        _T_after_sync(_T_sync_entries(readable.get(), made.get()), shown);
        ZLOG_TRACE("_T_make_folder", "done: mkdir <%s>", shown.c_str());
    } else if (errno != EEXIST) {
        return -1;
    }
    return ::openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

// Whether the link `entry` (its own status `link`) in the folder `at` is followed: in a
// sticky folder that everybody may write, only the caller's or the folder owner's, as
// the kernel does with fs.protected_symlinks on.
bool _T_may_follow(int at, const std::string &entry, const struct stat &link) {
    struct stat holder;
    if (::fstat(at, &holder) != 0) return false;
    const uid_t self = ::geteuid();
    if ((holder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && link.st_uid != self &&
        link.st_uid != holder.st_uid) {
        ZLOG_FAIL("_T_locate", "fail: link not followed <%s> (sticky folder, link-owner:%u, folder-owner:%u)",
                  entry.c_str(), static_cast<unsigned>(link.st_uid), static_cast<unsigned>(holder.st_uid));
        return false;
    }
    return true;
}

// Whether `at` is a folder of /proc, whose links (a process's folder, its descriptors)
// the kernel resolves to objects, not to their texts.
bool _T_on_proc(int at) {
    struct statfs fs;
    return ::fstatfs(at, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// Logs why the walk of `path` stopped; false.
bool _T_walk_failed(const std::string &path, int error) {
    if (error == EISDIR) {
        ZLOG_FAIL("_T_locate", "fail: path names no file <%s>", path.c_str());
    } else {
        ZLOG_FAIL("_T_locate", "fail: stat <%s> (%s)", path.c_str(), std::strerror(error));
    }
    return false;
}

// The text of the link open O_PATH at fd: 0, or the error.
int _T_read_link(int fd, std::string *text) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlinkat(fd, "", buffer, sizeof buffer);
    if (length < 0) return errno;
    if (static_cast<size_t>(length) == sizeof buffer) return ENAMETOOLONG;
    if (length == 0) return ENOENT;
    text->assign(buffer, static_cast<size_t>(length));
    return 0;
}

// Puts the text of the link open at `link` (its own status `st`, `entry` in the folder
// `*at`) on the pending parts; an absolute one goes on from the root. 0; -1 where the link
// is not followed (logged); else the error.
int _T_follow_link(int link, const struct stat &st, const std::string &entry, int *links, fd_holder *at,
                   std::string *atText, std::vector<std::string> *pending) {
    if (!_T_may_follow(at->get(), entry, st)) return -1;
    std::string text;
    const int error = ++*links > kMaxLinks ? ELOOP : _T_read_link(link, &text);
    if (error != 0) return error;
    if (text[0] == '/') {
        at->reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        *atText = "/";
    }
    _T_push_parts(text, pending);
    if (pending->empty()) pending->push_back(".");  // a link to "/": the root itself
    return 0;
}

// Walks `path` one part at a time from a held folder, each part opened O_PATH without
// following it; a link's text is walked in its turn (40 at most), and a link in a sticky
// folder that everybody may write only as _T_may_follow says. Ends with the folder and
// the last part (and what is there, if anything), or with the object a descriptor's link
// leads to. With `makeFolders`, a missing folder on the way is made. False, logged, on
// failure.
bool _T_locate(const std::string &path, bool makeFolders, located *out) {
    out->shown = path;
    std::vector<std::string> pending;
    _T_push_parts(path, &pending);
    std::string atText = !path.empty() && path[0] == '/' ? "/" : "";  // for the log
    fd_holder at(::open(atText.empty() ? "." : "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (at.get() < 0) return _T_walk_failed(path, errno);
    if (pending.empty()) return _T_walk_failed(path, EISDIR);
    for (int links = 0;;) {
        const std::string part = pending.back();
        pending.pop_back();
        const bool last = pending.empty();
        const std::string entry = _T_join(atText, part);
        if (last && (part == "." || part == "..")) return _T_walk_failed(path, EISDIR);
        fd_holder next(::openat(at.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0 && errno == ENOENT && !last && makeFolders)
            next.reset(_T_make_folder(at.get(), part, entry, out));
        struct stat st;
        if (next.get() < 0 || ::fstat(next.get(), &st) != 0) {
            if (errno != ENOENT || !last) return _T_walk_failed(path, errno);
            out->name = part;  // nothing there yet: a new file
            break;
        }
        if (S_ISLNK(st.st_mode) && _T_on_proc(at.get())) {
            // The kernel's own link: what it leads to as the kernel finds it, never its text.
            next.reset(::openat(at.get(), part.c_str(), O_PATH | O_CLOEXEC));
            if (next.get() < 0 || ::fstat(next.get(), &st) != 0) return _T_walk_failed(path, errno);
            if (!S_ISDIR(st.st_mode) && !last) return _T_walk_failed(path, ENOTDIR);
            if (!S_ISDIR(st.st_mode)) {
                out->object = std::move(next);
                out->st = st;
                return true;
            }
        } else if (S_ISLNK(st.st_mode)) {
            const int error = _T_follow_link(next.get(), st, entry, &links, &at, &atText, &pending);
            if (error != 0) return error > 0 && _T_walk_failed(path, error);
            continue;
        } else if (last) {
            out->name = part;
            out->object = std::move(next);
            out->st = st;
            break;
        }
        if (!S_ISDIR(st.st_mode)) return _T_walk_failed(path, ENOTDIR);
        at = std::move(next);
        atText = entry;
    }
    if (::fstat(at.get(), &out->folderSt) != 0) return _T_walk_failed(path, errno);
    out->folder = std::move(at);
    return true;
}

// Locates the output `path` (see _T_locate) and names what it is: one of the caller's
// descriptors, or a name. An object reached only through a descriptor's link that the
// caller did not pass (the command's own, another process's, a deleted file), and a
// regular file the process holds open otherwise, are refused. False, logged.
bool _T_find_output(const std::string &path, bool makeFolders, located *out) {
    if (path.empty() || path.back() == '/') {
        ZLOG_FAIL("_T_locate", "fail: path names no file <%s>", path.c_str());
        return false;
    }
    if (!_T_locate(path, makeFolders, out)) return false;
    if (!out->exists()) return true;
    bool held = false;
    out->passed = _T_descriptor_of(out->st, &held);
    if (out->passed >= 0) return true;
    if (out->folder.get() < 0) {
        ZLOG_FAIL("_T_locate", "fail: not a descriptor the caller passed <%s>", path.c_str());
        return false;
    }
    if (held && S_ISREG(out->st.st_mode)) {
        ZLOG_FAIL("_T_locate", "fail: file held open <%s>", path.c_str());
        return false;
    }
    return true;
}

// The mount a descriptor's object is on (from /proc/self/fdinfo), -1 where not known.
long _T_mount_id(int fd) {
    FILE *info = std::fopen(("/proc/self/fdinfo/" + std::to_string(fd)).c_str(), "re");
    long id = -1;
    char line[256];
    while (info && id < 0 && std::fgets(line, sizeof line, info)) {
        if (std::sscanf(line, "mnt_id: %ld", &id) != 1) id = -1;
    }
    if (info) std::fclose(info);
    return id;
}

// The name still holds what was located there (or still nothing), in the folder located.
void _T_check_unchanged(const located &target) {
    struct stat folder, now;
    const int found = ::fstatat(target.folder.get(), target.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    const bool unchanged = ::fstat(target.folder.get(), &folder) == 0 && _T_same(folder, target.folderSt) &&
                           (target.exists() ? found == 0 && _T_same(now, target.st) : found == ENOENT);
    if (!unchanged) {
        ZLOG_FAIL("_T_check_unchanged", "fail: changed since located <%s>", target.shown.c_str());
        throw internal_error();
    }
}

// Refuses a name that no rename can replace: another mount covers it.
void _T_check_renamable(const located &target) {
    if (!target.exists()) return;
    const long object = _T_mount_id(target.object.get()), folder = _T_mount_id(target.folder.get());
    if (object >= 0 && folder >= 0 && object != folder) {
        ZLOG_FAIL("_T_check_renamable", "fail: not replaceable <%s> (mount point)", target.shown.c_str());
        throw internal_error();
    }
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

// A new file beside a target, named after it, open for writing.
struct temporary_file {
    std::string name;  // in the target's folder
    fd_holder fd;
};

// Creates the temporary file in the target's folder: mode 0600 whatever the umask, so
// that its owner can write it and nobody else read it. internal_error, logged.
temporary_file _T_create_temporary(const located &target) {
    std::string base = target.name;
    const size_t room = NAME_MAX - (sizeof kTemporaryTag - 1) - kTemporaryRandom;
    if (base.size() > room) base.resize(room);
    temporary_file made;
    for (int attempt = 0; attempt < kMaxTemporaryAttempts; ++attempt) {
        made.name = base + kTemporaryTag + _T_random_letters();
        made.fd.reset(::openat(target.folder.get(), made.name.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kTemporaryMode));
        if (made.fd.get() < 0 && errno == EEXIST) continue;
        if (made.fd.get() < 0 || ::fchmod(made.fd.get(), kTemporaryMode) != 0) {
            ZLOG_FAIL("_T_create_temporary", "fail: open <%s> (%s)", made.name.c_str(), std::strerror(errno));
            if (made.fd.get() >= 0) ::unlinkat(target.folder.get(), made.name.c_str(), 0);
            throw internal_error();
        }
        return made;
    }
    ZLOG_FAIL("_T_create_temporary", "fail: open <%s> (%s)", made.name.c_str(), std::strerror(EEXIST));
    throw internal_error();
}

// The finished file at the temporary name (the one made, or one `make` put in its
// place), given its final owner and mode (those of the file it replaces; for a new file
// mode 0666 less the umask) and synced.
fd_holder _T_finish_temporary(const located &target, temporary_file &temporary) {
    fd_holder file = std::move(temporary.fd);
    struct stat made, now;
    bool ok = ::fstatat(target.folder.get(), temporary.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
              ::fstat(file.get(), &made) == 0;
    if (ok && !_T_same(made, now)) {
        file.reset(::openat(target.folder.get(), temporary.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        ok = file.get() >= 0 && ::fstat(file.get(), &made) == 0 && _T_same(made, now) && S_ISREG(made.st_mode);
    }
    if (!ok) {
        ZLOG_FAIL("_T_finish_temporary", "fail: open <%s> (%s)", temporary.name.c_str(), std::strerror(errno));
        throw internal_error();
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const mode_t mode = target.exists() ? target.st.st_mode & 0777 : 0666 & ~mask;
    if (target.exists() && (made.st_uid != target.st.st_uid || made.st_gid != target.st.st_gid) &&
        ::fchown(file.get(), target.st.st_uid, target.st.st_gid) != 0) {
        ZLOG_WARN("_T_finish_temporary", "fail: fchown <%s> (%s)", temporary.name.c_str(), std::strerror(errno));
    }
    if (::fchmod(file.get(), mode) != 0) {
        ZLOG_FAIL("_T_finish_temporary", "fail: fchmod <%s> (%s)", temporary.name.c_str(), std::strerror(errno));
        throw internal_error();
    }
    if (::fsync(file.get()) != 0) {
        ZLOG_FAIL("_T_finish_temporary", "fail: fsync <%s> (%s)", temporary.name.c_str(), std::strerror(errno));
        throw internal_error();
    }
    return file;
}

// Renames the temporary file over the target's name; where nothing was there, only if
// nothing is there yet.
void _T_rename(const located &target, const std::string &temporary) {
    const int folder = target.folder.get();
    int result = target.exists() ? -1 : ::renameat2(folder, temporary.c_str(), folder, target.name.c_str(), RENAME_NOREPLACE);
    if (target.exists() || (result != 0 && errno == EINVAL))  // a file system without the flag
        result = ::renameat(folder, temporary.c_str(), folder, target.name.c_str());
    if (result != 0) {
        ZLOG_FAIL("_T_rename", "fail: rename <%s> <%s> (%s)", temporary.c_str(), target.shown.c_str(),
                  std::strerror(errno));
        throw internal_error();
    }
}

// `make` writes the new file beside the target (through its descriptor, or the name
// given, which leads through the held folder); it is then given its final attributes,
// synced and renamed over the target, and the folder synced. Everything that can fail
// comes before the rename; after it only an I/O error of the last sync fails. On any
// failure before the rename the new file is removed. Signals that end a command wait
// while it exists.
void _T_replace(located &target, const std::function<void(int fd, const char *name)> &make) {
    _T_check_unchanged(target);
    _T_check_renamable(target);
    // A folder that may be written but not read is synced through its file system.
    const fd_holder readable(::openat(target.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    fd_holder file;
    {
        const signal_window window;
        temporary_file temporary = _T_create_temporary(target);
        try {
            const std::string name =
                "/proc/self/fd/" + std::to_string(target.folder.get()) + "/" + temporary.name;
            make(temporary.fd.get(), name.c_str());
            file = _T_finish_temporary(target, temporary);
            _T_check_unchanged(target);
            _T_rename(target, temporary.name);
        } catch (...) {
            ::unlinkat(target.folder.get(), temporary.name.c_str(), 0);
            throw;
        }
    }
    target.keep = true;
    _T_after_sync(_T_sync_entries(readable.get(), file.get()), target.shown);
}

// Writes data to fd, waiting where fd does not block: the bytes written, all of them
// unless a write failed.
size_t _T_write_all(int fd, const unsigned char *data, size_t size) {
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd ready = {fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR) break;
            continue;
        }
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    return written;
}

// Copies the whole file open at `from` into `to`, from where `to` stands.
bool _T_copy_whole(int from, int to) {
    unsigned char buffer[1 << 16];
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(from, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        if (_T_write_all(to, buffer, static_cast<size_t>(n)) != static_cast<size_t>(n)) return false;
        offset += n;
    }
}

// `make` writes the output whole into an anonymous file, which is then copied into what
// was located: the caller's descriptor, or the pipe or device at the name, opened once,
// without following a link or waiting for a reader, and checked to be what was located.
// Nothing is renamed over it; a regular file or a block device is synced. No signal waits
// meanwhile: what a signal or a failure cuts short stays there in part.
void _T_write_in_place(located &target, const std::function<void(int fd, const char *name)> &make) {
    const char *path = target.shown.c_str();
    fd_holder opened;
    if (target.passed < 0) {
        opened.reset(::openat(target.folder.get(), target.name.c_str(),
                              O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (opened.get() < 0) {
            ZLOG_FAIL("_T_write_in_place", "fail: open <%s> (%s)", path, std::strerror(errno));
            throw internal_error();
        }
        ::fcntl(opened.get(), F_SETFL, ::fcntl(opened.get(), F_GETFL) & ~O_NONBLOCK);
    }
    const int to = target.passed >= 0 ? target.passed : opened.get();
    struct stat st;
    if (::fstat(to, &st) != 0 || !_T_same(st, target.st)) {
        ZLOG_FAIL("_T_write_in_place", "fail: changed since located <%s>", path);
        throw internal_error();
    }
    const int flags = ::fcntl(to, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        ZLOG_FAIL("_T_write_in_place", "fail: descriptor <%s> (fd:%d, %s)", path, to, std::strerror(flags < 0 ? errno : EBADF));
        throw internal_error();
    }
    const fd_holder whole(::memfd_create("vek-cli-output", MFD_CLOEXEC));
    if (whole.get() < 0) {
        ZLOG_FAIL("_T_write_in_place", "fail: memfd_create (%s)", std::strerror(errno));
        throw internal_error();
    }
    make(whole.get(), ("/proc/self/fd/" + std::to_string(whole.get())).c_str());
    if (!_T_copy_whole(whole.get(), to)) {
        ZLOG_FAIL("_T_write_in_place", "fail: write <%s> (%s)", path, std::strerror(errno));
        throw internal_error();
    }
    if ((S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) && ::fsync(to) != 0) {
        ZLOG_FAIL("_T_write_in_place", "fail: fsync <%s> (%s)", path, std::strerror(errno));
        throw internal_error();
    }
    target.keep = true;
}

// Writes the output to what was located: in place, or by replacing the name.
void _T_write(located &target, const std::function<void(int fd, const char *name)> &make) {
    if (target.inPlace()) {
        _T_write_in_place(target, make);
    } else {
        _T_replace(target, make);
    }
}

// Writes size bytes of data to fd; `path` is the name the caller asked for, which the
// log lines of `function` show.
void _T_write_data(const char *function, const char *path, int fd, const unsigned char *data, unsigned long size) {
    const size_t written = _T_write_all(fd, data, size);
    if (written != size) {
        ZLOG_FAIL(function, "fail: fwrite <%s> (expected-size:%lu, actual-size:%zu)", path, size, written);
        throw internal_error();
    }
}

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
    std::unique_ptr<located> _zipTarget;  // located by checkZip, for createZip
    std::string _zipPath;
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
    located target;
    if (!_T_find_output(path, false, &target)) throw internal_error();
    _T_write(target, [&](int fd, const char *) { _T_write_data("writeFile", path, fd, data, size); });
    ZLOG_TRACE("writeFile", "done: <%s>", path);
}

void api::replaceFile(const char *path, const std::function<void(const char *name)> &make) {
    located target;
    if (!_T_find_output(path, false, &target)) throw internal_error();
    _T_write(target, [&](int, const char *name) { make(name); });
    ZLOG_TRACE(__func__, "done: <%s>", path);
}

void api::createZip(const char *zipPath, const char *name1, unsigned char *data1, unsigned long size1,
                    const char *name2, unsigned char *data2, unsigned long size2) {
    ZLOG_TRACE("createZip", "exec");
    // Where checkZip located the archive, or, not checked, where it is now.
    std::unique_ptr<located> target = std::move(_zipTarget);
    if (!target || _zipPath != zipPath) {
        target.reset(new located);
        if (!_T_find_output(zipPath, zipPath[0] == '/', target.get())) throw internal_error();
    }
    std::string bytes;
    {
        memory_archive archive(_zip.functions());
        archive.addEntry(name1, data1, size1);
        archive.addEntry(name2, data2, size2);
        bytes = archive.takeBytes();
    }
    _T_write(*target, [&](int fd, const char *) {
        _T_write_data("createZip", zipPath, fd, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
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

// Whether the inode held O_PATH at fd is immutable or append-only (nothing then renames
// it or over it); false where it cannot be read or the file system keeps no such flags.
bool _T_is_fixed(int fd) {
    const fd_holder opened(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int attributes = 0;
    return opened.get() >= 0 && ::ioctl(opened.get(), FS_IOC_GETFLAGS, &attributes) == 0 &&
           (attributes & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

// The archive's temporary file is renamed over the target in its folder: refuses what
// that rename would refuse once the key is made.
void _T_check_replaceable(const char *path, const located &target) {
    if (_T_is_fixed(target.folder.get())) {
        ZLOG_FAIL("checkZip", "fail: not replaceable <%s> (immutable or append-only folder)", path);
        throw internal_error();
    }
    if (!target.exists()) return;  // nothing to replace
    const uid_t self = ::geteuid();
    if ((target.folderSt.st_mode & S_ISVTX) && self != target.st.st_uid && self != target.folderSt.st_uid &&
        !_T_has_fowner()) {
        ZLOG_FAIL("checkZip", "fail: not replaceable <%s> (sticky folder, owner:%u)", path,
                  static_cast<unsigned>(target.st.st_uid));
        throw internal_error();
    }
    if (_T_is_fixed(target.object.get())) {
        ZLOG_FAIL("checkZip", "fail: not replaceable <%s> (immutable or append-only)", path);
        throw internal_error();
    }
    _T_check_renamable(target);
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
    _zipTarget.reset();
    std::unique_ptr<located> target(new located);
    // The folders of an absolute path are made here, and removed again when no archive
    // is written.
    if (!_T_find_output(path, path[0] == '/', target.get())) throw internal_error();
    // The archive is made before it is written: what is written in place could only
    // ever get it after the key.
    if (target->passed >= 0) {
        ZLOG_FAIL("checkZip", "fail: descriptor in place of a file <%s> (fd:%d)", zipPath, target->passed);
        throw internal_error();
    }
    if (target->inPlace() || target->folder.get() < 0) {
        ZLOG_FAIL("checkZip", "fail: not a regular file <%s>", zipPath);
        throw internal_error();
    }
    _T_check_replaceable(zipPath, *target);
    // The archive's temporary file is made beside its target: try exactly that. A signal
    // that would end the command waits until the probe is gone again.
    {
        const signal_window window;
        const temporary_file probe = _T_create_temporary(*target);
        ::unlinkat(target->folder.get(), probe.name.c_str(), 0);
    }
    _zipTarget = std::move(target);
    _zipPath = path;
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

void NoteCallerDescriptors() {
    _s_passed.clear();
    for (const int fd : _T_open_descriptors()) {
        struct stat st;
        if (::fstat(fd, &st) == 0) _s_passed.push_back({fd, st});
    }
    _s_passedNoted = true;
}

std::shared_ptr<api_like> Api__Create() { return Api__Create(VEK_LIBZIP_SONAME); }

std::shared_ptr<api_like> Api__Create(const std::string &zipSoname) { return std::make_shared<api>(zipSoname); }

}  // namespace Fs
}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
