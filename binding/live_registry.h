/* Blocks that the module hands to scripts, tracked while they live.
 *
 * A script can keep a pointer object after its block was freed, or free one block twice;
 * the module asks the registry before it frees or touches a block, so a stale or repeated
 * call frees nothing and reaches nothing. One registry per kind of block (tables,
 * records). Not thread-safe: the module calls it under the interpreter lock.
 *
 * A freed address can be handed out again by a later allocation; an object kept from the
 * earlier block then reaches the new one, which is live memory of the same kind. */
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace Tavrel {

class live_registry {
public:
    // A new zero-filled block of size bytes (at least one), or null when memory is exhausted.
    void *allocate(size_t size);

    // Frees a live block given by its start; false, and nothing done, for any other address.
    bool release(const void *block);

    // Whether block is the start of a live block.
    bool is_live(const void *block) const;

    // Whether the size bytes at p lie within one live block.
    bool contains(const void *p, size_t size) const;

private:
    std::map<uintptr_t, size_t> _blocks;  // start -> size
};

}  // namespace Tavrel
