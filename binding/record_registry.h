/* Blocks that the module hands to scripts (records, and tables made by new_KT_INTERFACE),
 * tracked while they live, so that a stale or repeated call frees nothing and reaches
 * nothing.
 *
 * Each block is zero-filled and knows its layout (a field table; none for a table), its
 * kind (an opaque tag: the module uses its binding type) and a serial that no other block
 * of the process ever shares. A freed address can be handed out again by a later
 * allocation; an object that remembers the serial of the block it was made for can
 * therefore tell its own block from a newer one at the same address.
 *
 * The texts of a record's `char *` fields are the record's own: copy_text makes them and
 * release frees them with the block. Not thread-safe: the module calls it under the
 * interpreter lock. */
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "kt_record_fields.h"

namespace Tavrel {

struct record_block {
    const void *start;
    const kt_records::kt_record *record;
    const void *kind;
    uint64_t serial;  // 1 for the first record, never 0
};

class record_registry {
public:
    record_registry() = default;
    ~record_registry();  // releases every record still live
    record_registry(const record_registry &) = delete;
    record_registry &operator=(const record_registry &) = delete;

    // A new zero-filled record, or null when memory is exhausted.
    const record_block *allocate(const kt_records::kt_record &record, const void *kind);

    // The live record whose bytes hold the size bytes at p, or null.
    const record_block *find(const void *p, size_t size) const;

    // Frees the live record that starts at start and the texts its `char *` fields hold;
    // false, and nothing done, for any other address.
    bool release(const void *start);

    // A copy of text (up to its NUL) for a `char *` field, or null when memory is exhausted.
    static char *copy_text(const char *text);
    static void free_text(char *text);

private:
    std::map<uintptr_t, record_block> blocks_;  // by start
    uint64_t last_serial_ = 0;
};

}  // namespace Tavrel
