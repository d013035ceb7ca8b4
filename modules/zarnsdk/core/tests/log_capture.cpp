#include "log_capture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "zarn/support/log.h"

namespace log_capture {
namespace {

std::mutex lock;
std::vector<line> captured;
std::vector<event> opened;

}  // namespace

std::vector<line> lines() {
    std::lock_guard<std::mutex> hold(lock);
    return captured;
}

std::vector<event> events() {
    std::lock_guard<std::mutex> hold(lock);
    return opened;
}

void clear() {
    std::lock_guard<std::mutex> hold(lock);
    captured.clear();
    opened.clear();
}

size_t count(const std::string &function, const std::string &text) {
    size_t n = 0;
    for (const line &each : lines()) n += each.function == function && each.text == text;
    return n;
}

bool has_prefix(int level, const std::string &function, const std::string &prefix) {
    for (const line &each : lines())
        if (each.level == level && each.function == function && each.text.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

}  // namespace log_capture

extern "C" {

int LogOpen2(const char *name, int level, int flags) {
    std::lock_guard<std::mutex> hold(log_capture::lock);
    log_capture::opened.push_back({"open", name ? name : "", level, flags});
    return 0;
}

int LogWrite(const char *sourceFile, int, const char *functionName, int level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0) std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    std::lock_guard<std::mutex> hold(log_capture::lock);
    log_capture::captured.push_back({level, functionName ? functionName : "", text, sourceFile ? sourceFile : ""});
    return 0;
}

int LogClose(void) {
    std::lock_guard<std::mutex> hold(log_capture::lock);
    log_capture::opened.push_back({"close", "", 0, 0});
    return 0;
}
}
