// A growable byte buffer that never shrinks: once it has grown to the largest size
// asked of it, reset() allocates nothing more.
#pragma once

#include <cstddef>

namespace Zarn {
namespace Support {

class flexbuffer {
public:
    flexbuffer() noexcept = default;
    ~flexbuffer();

    // Copies throw std::bad_alloc when no memory results, also for an empty source.
    flexbuffer(const flexbuffer &other);
    flexbuffer &operator=(const flexbuffer &other);

    // Makes `n` bytes usable, growing when needed; content up to the old size survives.
    // Returns data, or null when `n` is 0 or growing failed (the buffer is then unchanged).
    void *reset(size_t n) noexcept;

    void *data = nullptr;  // owned, released with free
    size_t capacity = 0;   // allocated bytes
    size_t size = 0;       // bytes in use
};

// Formats into `buffer` using its current size as the room, growing once when the
// text does not fit. True when the text (with its NUL) fits. Throws internal_error when
// the buffer has no room, growing fails or formatting fails.
bool flexprintf(flexbuffer &buffer, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace Support
}  // namespace Zarn
