#include "zarn/support/zrc_flex.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {

flexbuffer::~flexbuffer() { std::free(data); }

void *flexbuffer::reset(size_t n) noexcept {
    if (capacity < n) {
        void *grown = std::realloc(data, n);
        if (!grown) {
            ZLOG_WARN("reset", "fail: realloc (old-size:%zu, new-size:%zu)", capacity, n);
            return nullptr;
        }
        ZLOG_TRACE("reset", "done: realloc (old-size:%zu, new-size:%zu)", capacity, n);
        data = grown;
        capacity = n;
    }
    size = n;
    return n ? data : nullptr;
}

flexbuffer::flexbuffer(const flexbuffer &other) {
    if (!reset(other.size)) {
        std::free(data);
        throw std::bad_alloc();
    }
    std::memcpy(data, other.data, other.size);
}

flexbuffer &flexbuffer::operator=(const flexbuffer &other) {
    if (this == &other) return *this;
    if (!reset(other.size)) throw std::bad_alloc();
    std::memcpy(data, other.data, other.size);
    return *this;
}

namespace {

// One vsnprintf into the buffer's room; the text's length without its NUL.
size_t format_into(flexbuffer &buffer, const char *format, va_list args) {
    const int n = std::vsnprintf(static_cast<char *>(buffer.data), buffer.size, format, args);
    if (n < 0) {
        ZLOG_WARN("flexprintf", "fail: snprintf (error:%d)", n);
        throw internal_error();
    }
    return static_cast<size_t>(n);
}

// Formats from `args`, and once more from `again` after growing when it did not fit.
bool format_growing(flexbuffer &buffer, const char *format, va_list args, va_list again) {
    size_t length = format_into(buffer, format, args);
    if (length < buffer.size) return true;
    if (!buffer.reset(length + 1)) {
        ZLOG_WARN("flexprintf", "fail: flexbuffer::reset");
        throw internal_error();
    }
    length = format_into(buffer, format, again);
    return length < buffer.size;
}

}  // namespace

bool flexprintf(flexbuffer &buffer, const char *format, ...) {
    if (buffer.size == 0) throw internal_error();
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    bool fits;
    try {
        fits = format_growing(buffer, format, args, again);
    } catch (...) {
        va_end(again);
        va_end(args);
        throw;
    }
    va_end(again);
    va_end(args);
    return fits;
}

}  // namespace Support
}  // namespace Zarn
