// A fixed-capacity ring of equal-sized slots. The head is the newest slot, the tail
// the oldest; a new ring has head 0, so the first slot claimed is slot 1.
//
// The plain Ring__* functions never touch slot contents and never log. ring2<T>
// constructs a T in every slot when it is made and destroys each of them when it goes,
// so slots always hold live objects whether or not they are occupied.
#pragma once

#include <cstdint>
#include <new>
#include <type_traits>

namespace Zarn {
namespace Support {

struct Ring {
    void *slots;        // elemSize * capacity bytes
    uint16_t elemSize;  // bytes per slot
    uint16_t capacity;  // number of slots
    uint16_t head;      // index of the newest slot
    uint16_t count;     // occupied slots
};

// Allocates a ring; false (with *out untouched) when memory runs out or a size is 0.
bool Ring__Create(uint16_t elemSize, uint16_t capacity, Ring **out);
void Ring__Destroy(Ring *ring);

// Claims the slot after the head and makes it the head. A full ring returns null, or
// with `overwrite` takes over the oldest slot.
void *Ring__PutHead(Ring *ring, bool overwrite);
void *Ring__GetHead(Ring *ring);
void Ring__PopHead(Ring *ring);

// The oldest slot, or null when empty; stores the count in *countOut when given.
void *Ring__GetTail(Ring *ring, uint16_t *countOut);
void Ring__PopTail(Ring *ring);

// Walks from the oldest towards the newest: start with the count from Ring__GetTail.
void *Ring__GetNext(Ring *ring, uint16_t *cursor);

template <class T>
class ring {
public:
    explicit ring(uint16_t capacity) {
        if (!Ring__Create(static_cast<uint16_t>(sizeof(T)), capacity, &r)) throw std::bad_alloc();
    }
    virtual ~ring() { Ring__Destroy(r); }

    ring(const ring &) = delete;
    ring &operator=(const ring &) = delete;

    T *putHead(bool overwrite = false) { return static_cast<T *>(Ring__PutHead(r, overwrite)); }
    T *head() { return static_cast<T *>(Ring__GetHead(r)); }
    void popHead() { Ring__PopHead(r); }
    T *tail(uint16_t *countOut = nullptr) { return static_cast<T *>(Ring__GetTail(r, countOut)); }
    void popTail() { Ring__PopTail(r); }
    uint16_t count() const { return r->count; }
    uint16_t capacity() const { return r->capacity; }

protected:
    Ring *r = nullptr;
};

// A ring whose slots hold constructed objects: every slot gets a T on creation (the
// ring is then empty with head 0) and every slot's T is destroyed on destruction.
template <class T>
class ring2 : public ring<T> {
    static_assert(std::is_nothrow_default_constructible<T>::value, "slots are built without failing");
    static_assert(sizeof(T) <= UINT16_MAX, "a slot fits a 16-bit size");

public:
    explicit ring2(uint16_t capacity) : ring<T>(capacity) {
        while (void *slot = Ring__PutHead(this->r, false)) new (slot) T();
        while (Ring__GetHead(this->r)) Ring__PopHead(this->r);
    }

    ~ring2() override {
        while (Ring__PutHead(this->r, false)) {
        }
        while (void *slot = Ring__GetHead(this->r)) {
            static_cast<T *>(slot)->~T();
            Ring__PopHead(this->r);
        }
    }
};

}  // namespace Support
}  // namespace Zarn
