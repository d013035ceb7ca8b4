#include "zarn/support/zrc_ring.h"

#include <cstdlib>

namespace Zarn {
namespace Support {

namespace {

// Index arithmetic runs in int on the 16-bit fields, so sums never wrap.
void *slot_at(const Ring *ring, int index) {
    return static_cast<unsigned char *>(ring->slots) + static_cast<size_t>(index) * ring->elemSize;
}

// Index of the slot `back` places behind the head (0 is the head itself).
int behind_head(const Ring *ring, int back) {
    const int capacity = ring->capacity;
    return (ring->head + capacity - back) % capacity;
}

}  // namespace

bool Ring__Create(uint16_t elemSize, uint16_t capacity, Ring **out) {
    if (elemSize == 0 || capacity == 0 || !out) return false;
    Ring *ring = static_cast<Ring *>(std::malloc(sizeof(Ring)));
    if (!ring) return false;
    ring->slots = std::malloc(static_cast<size_t>(elemSize) * capacity);
    if (!ring->slots) {
        std::free(ring);
        return false;
    }
    ring->elemSize = elemSize;
    ring->capacity = capacity;
    ring->head = 0;
    ring->count = 0;
    *out = ring;
    return true;
}

void Ring__Destroy(Ring *ring) {
    if (!ring) return;
    std::free(ring->slots);
    std::free(ring);
}

void *Ring__PutHead(Ring *ring, bool overwrite) {
    if (ring->count < ring->capacity) {
        ++ring->count;
    } else if (!overwrite) {
        return nullptr;
    }
    ring->head = static_cast<uint16_t>((ring->head + 1) % ring->capacity);
    return slot_at(ring, ring->head);
}

void *Ring__GetHead(Ring *ring) { return ring->count > 0 ? slot_at(ring, ring->head) : nullptr; }

void Ring__PopHead(Ring *ring) {
    if (ring->count == 0) return;
    --ring->count;
    ring->head = static_cast<uint16_t>(behind_head(ring, 1));
}

void *Ring__GetTail(Ring *ring, uint16_t *countOut) {
    if (ring->count == 0) return nullptr;
    if (countOut) *countOut = ring->count;
    return slot_at(ring, behind_head(ring, ring->count - 1));
}

void Ring__PopTail(Ring *ring) {
    if (ring->count > 0) --ring->count;
}

void *Ring__GetNext(Ring *ring, uint16_t *cursor) {
    const int c = *cursor;
    if (c <= 1) return nullptr;
    *cursor = static_cast<uint16_t>(c - 1);
    return slot_at(ring, behind_head(ring, c - 2));
}

}  // namespace Support
}  // namespace Zarn
