// Stand-in logger. Appends one line per LogWrite to the file named by JOTLOG_FILE:
//
//   <level>\t<function>\t<text>\t<source>:<line>
//
// Newlines and tabs inside the text are written as \n and \t, so a line is one record.
// Each line is one write() on an O_APPEND descriptor: threads and processes sharing the
// file never interleave within a line. Without JOTLOG_FILE nothing is written. It never
// writes to standard output or standard error.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "jotlog.h"

namespace {

struct logger_state {
    std::mutex lock;
    int fd = -1;
    bool fdTried = false;
    bool open = false;
    int level = 0;
    std::string name;
};

logger_state &state() {
    static logger_state *s = new logger_state;  // never destroyed: usable from static destructors
    return *s;
}

// The descriptor is opened once, on first use, and kept for the process's life.
int log_fd(logger_state &s) {
    if (!s.fdTried) {
        s.fdTried = true;
        const char *path = std::getenv("JOTLOG_FILE");
        if (path && *path) s.fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    return s.fd;
}

void append_escaped(std::string &out, const char *text) {
    for (const char *p = text; *p; ++p) {
        if (*p == '\n') out += "\\n";
        else if (*p == '\t') out += "\\t";
        else out += *p;
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int LogOpen2(const char *name, int level, int) {
    logger_state &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    s.name = name ? name : "";
    s.level = level;
    s.open = true;
    log_fd(s);
    return 0;
}

__attribute__((visibility("default"))) int LogWrite(const char *sourceFile, int line, const char *functionName,
                                                    int level, const char *format, ...) {
    logger_state &s = state();
    int fd;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (s.open && level > s.level) return 0;
        fd = log_fd(s);
    }
    if (fd < 0 || !format) return 0;

    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0) std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);

    std::string record = std::to_string(level) + '\t';
    append_escaped(record, functionName ? functionName : "");
    record += '\t';
    append_escaped(record, text.c_str());
    record += '\t';
    append_escaped(record, sourceFile ? sourceFile : "");
    record += ':' + std::to_string(line) + '\n';
    return ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size()) ? 0 : -1;
}

__attribute__((visibility("default"))) int LogClose(void) {
    logger_state &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    s.open = false;
    s.level = 0;
    s.name.clear();
    return 0;
}
}
