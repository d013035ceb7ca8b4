/* Preloaded into vek-cli by the shell tests: notes what reaches the disk, and at one
 * chosen call sends the process a signal or makes another party's move.
 *
 *   VEK_FS_HOOK_TRACE=FILE   appends "fsync <path>", "syncfs <path>" and "rename <from> <to>"
 *                            per call
 *   VEK_FS_HOOK_CALL=NAME    the call that is the point: fsync (the default), open (an open
 *                            that writes or creates), unlink or write
 *   VEK_FS_HOOK_AT=GLOB      the first such call whose path matches GLOB (fnmatch), before it
 *                            reaches the kernel, is the point:
 *   VEK_FS_HOOK_SIGNAL=N     sends signal N to the process there
 *   VEK_FS_HOOK_RUN=COMMAND  runs COMMAND with sh there (with none of these variables), and
 *                            waits for it
 *
 * A path is what the kernel names for a descriptor, or the folder descriptor's path joined
 * with the name. The calls themselves go to the kernel unchanged. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static const char *s_trace, *s_call, *s_at, *s_signal, *s_run;
static int s_fired;

static const char *const kVariables[] = {"VEK_FS_HOOK_TRACE", "VEK_FS_HOOK_CALL", "VEK_FS_HOOK_AT",
                                         "VEK_FS_HOOK_SIGNAL", "VEK_FS_HOOK_RUN"};

static const char *setting(const char *name) {
    const char *value = getenv(name);
    return value ? strdup(value) : NULL;
}

__attribute__((constructor)) static void hook_setup(void) {
    s_trace = setting(kVariables[0]);
    s_call = setting(kVariables[1]);
    s_at = setting(kVariables[2]);
    s_signal = setting(kVariables[3]);
    s_run = setting(kVariables[4]);
    if (!s_call || !*s_call) s_call = "fsync";
}

static void trace(const char *line) {
    if (!s_trace || !*s_trace) return;
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, s_trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    /* a short trace shows in the test that reads it */
    (void)syscall(SYS_write, fd, line, strlen(line));
    syscall(SYS_close, fd);
}

/* The path of descriptor fd (AT_FDCWD: the working folder). */
static void path_of(int fd, char *path, size_t size) {
    char link[64];
    if (fd == AT_FDCWD) snprintf(link, sizeof link, "/proc/self/cwd");
    else snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, size - 1);
    path[length > 0 ? length : 0] = '\0';
}

/* The path of name in folder fd. */
static void path_at(int fd, const char *name, char *path, size_t size) {
    if (name[0] == '/') {
        snprintf(path, size, "%s", name);
        return;
    }
    path_of(fd, path, size);
    const size_t folder = strlen(path), length = strlen(name);
    if (folder + 1 + length >= size) return;  /* the folder alone */
    path[folder] = '/';
    memcpy(path + folder + 1, name, length + 1);
}

/* At the chosen point: the signal, the move. */
static void point(const char *call, const char *path) {
    if (s_fired || !s_at || strcmp(call, s_call) != 0 || fnmatch(s_at, path, 0) != 0) return;
    s_fired = 1;
    if (s_run && *s_run) {
        for (size_t i = 0; i < sizeof kVariables / sizeof *kVariables; ++i) unsetenv(kVariables[i]);
        const int status = system(s_run);
        (void)status;
    }
    if (s_signal && *s_signal) kill(getpid(), atoi(s_signal));
}

int fsync(int fd) {
    char path[PATH_MAX], line[PATH_MAX + 16];
    path_of(fd, path, sizeof path);
    snprintf(line, sizeof line, "fsync %s\n", path);
    trace(line);
    point("fsync", path);
    return (int)syscall(SYS_fsync, fd);
}

int syncfs(int fd) {
    char path[PATH_MAX], line[PATH_MAX + 16];
    path_of(fd, path, sizeof path);
    snprintf(line, sizeof line, "syncfs %s\n", path);
    trace(line);
    return (int)syscall(SYS_syncfs, fd);
}

static int rename_at(int fromFd, const char *from, int toFd, const char *to, unsigned flags) {
    char fromPath[PATH_MAX], toPath[PATH_MAX], line[2 * PATH_MAX + 16];
    path_at(fromFd, from, fromPath, sizeof fromPath);
    path_at(toFd, to, toPath, sizeof toPath);
    snprintf(line, sizeof line, "rename %s %s\n", fromPath, toPath);
    trace(line);
    return (int)syscall(SYS_renameat2, fromFd, from, toFd, to, flags);
}

int rename(const char *from, const char *to) { return rename_at(AT_FDCWD, from, AT_FDCWD, to, 0); }
int renameat(int fromFd, const char *from, int toFd, const char *to) { return rename_at(fromFd, from, toFd, to, 0); }
int renameat2(int fromFd, const char *from, int toFd, const char *to, unsigned flags) {
    return rename_at(fromFd, from, toFd, to, flags);
}

static int open_at(int fd, const char *name, int flags, mode_t mode) {
    if ((flags & (O_WRONLY | O_RDWR | O_CREAT)) && !(flags & O_PATH)) {
        char path[PATH_MAX];
        path_at(fd, name, path, sizeof path);
        point("open", path);
    }
    return (int)syscall(SYS_openat, fd, name, flags, mode);
}

/* The mode argument is there only with O_CREAT or O_TMPFILE. */
#define OPEN_MODE(flags, mode)                                          \
    do {                                                                \
        if ((flags) & (O_CREAT | __O_TMPFILE)) {                        \
            va_list arguments;                                          \
            va_start(arguments, flags);                                 \
            mode = (mode_t)va_arg(arguments, int);                      \
            va_end(arguments);                                          \
        }                                                               \
    } while (0)

int open(const char *name, int flags, ...) {
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    return open_at(AT_FDCWD, name, flags, mode);
}
int open64(const char *name, int flags, ...) {
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    return open_at(AT_FDCWD, name, flags, mode);
}
int openat(int fd, const char *name, int flags, ...) {
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    return open_at(fd, name, flags, mode);
}
int openat64(int fd, const char *name, int flags, ...) {
    mode_t mode = 0;
    OPEN_MODE(flags, mode);
    return open_at(fd, name, flags, mode);
}

int unlinkat(int fd, const char *name, int flags) {
    char path[PATH_MAX];
    path_at(fd, name, path, sizeof path);
    point("unlink", path);
    return (int)syscall(SYS_unlinkat, fd, name, flags);
}
int unlink(const char *name) { return unlinkat(AT_FDCWD, name, 0); }

ssize_t write(int fd, const void *data, size_t size) {
    if (!s_fired && s_at && strcmp(s_call, "write") == 0) {
        char path[PATH_MAX];
        path_of(fd, path, sizeof path);
        point("write", path);
    }
    return syscall(SYS_write, fd, data, size);
}
