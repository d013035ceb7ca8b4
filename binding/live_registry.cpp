#include "live_registry.h"

#include <cstdlib>
#include <new>

namespace Tavrel {

void *live_registry::allocate(size_t size) {
    if (size == 0) size = 1;
    void *block = std::calloc(1, size);
    if (!block) return nullptr;
    try {
        _blocks.emplace(reinterpret_cast<uintptr_t>(block), size);
    } catch (const std::bad_alloc &) {
        std::free(block);
        return nullptr;
    }
    return block;
}

bool live_registry::release(const void *block) {
    auto it = _blocks.find(reinterpret_cast<uintptr_t>(block));
    if (it == _blocks.end()) return false;
    _blocks.erase(it);
    std::free(const_cast<void *>(block));
    return true;
}

bool live_registry::is_live(const void *block) const {
    return _blocks.count(reinterpret_cast<uintptr_t>(block)) != 0;
}

bool live_registry::contains(const void *p, size_t size) const {
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    auto it = _blocks.upper_bound(start);
    if (it == _blocks.begin()) return false;
    --it;  // the last block starting at or before p
    const uintptr_t offset = start - it->first;
    return offset < it->second && size <= it->second - offset;
}

}  // namespace Tavrel
