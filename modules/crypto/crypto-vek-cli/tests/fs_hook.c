/* Preloaded into vek-cli by the shell tests: notes what reaches the disk, and can send
 * the process a signal at a given point.
 *
 *   VEK_FS_HOOK_TRACE=FILE   appends "fsync <path>" and "rename <from> <to>" per call
 *   VEK_FS_HOOK_SIGNAL=N     sends signal N to the process, once, as it syncs a file
 *   VEK_FS_HOOK_AT=GLOB      whose path matches GLOB (fnmatch), before the sync
 *
 * The calls themselves go to the kernel unchanged. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static void trace(const char *line) {
    const char *file = getenv("VEK_FS_HOOK_TRACE");
    if (!file || !*file) return;
    const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const size_t length = strlen(line);
    const ssize_t written = write(fd, line, length);  // a short trace shows in the test that reads it
    (void)written;
    close(fd);
}

int fsync(int fd) {
    char link[64], path[PATH_MAX] = "";
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length > 0) path[length] = '\0';
    char line[PATH_MAX + 16];
    snprintf(line, sizeof line, "fsync %s\n", path);
    trace(line);
    static int sent = 0;
    const char *signal = getenv("VEK_FS_HOOK_SIGNAL"), *at = getenv("VEK_FS_HOOK_AT");
    if (!sent && signal && at && fnmatch(at, path, 0) == 0) {
        sent = 1;
        kill(getpid(), atoi(signal));
    }
    return (int)syscall(SYS_fsync, fd);
}

int rename(const char *from, const char *to) {
    char line[2 * PATH_MAX + 16];
    snprintf(line, sizeof line, "rename %s %s\n", from, to);
    trace(line);
    return (int)syscall(SYS_rename, from, to);
}
