#include "record_registry.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace Tavrel {

record_registry::~record_registry() {
    while (!blocks_.empty()) release(blocks_.begin()->second.start);
}

const record_block *record_registry::allocate(const kt_records::kt_record &record, const void *kind) {
    void *start = std::calloc(1, record.size ? record.size : 1);
    if (!start) return nullptr;
    try {
        const record_block block{start, &record, kind, ++last_serial_};
        return &blocks_.emplace(reinterpret_cast<uintptr_t>(start), block).first->second;
    } catch (const std::bad_alloc &) {
        std::free(start);
        return nullptr;
    }
}

const record_block *record_registry::find(const void *p, size_t size) const {
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    auto it = blocks_.upper_bound(at);
    if (it == blocks_.begin()) return nullptr;
    --it;  // the last record starting at or before p
    const uintptr_t offset = at - it->first;
    const size_t record_size = it->second.record->size;
    return offset < record_size && size <= record_size - offset ? &it->second : nullptr;
}

bool record_registry::release(const void *start) {
    auto it = blocks_.find(reinterpret_cast<uintptr_t>(start));
    if (it == blocks_.end()) return false;
    const kt_records::kt_record &record = *it->second.record;
    auto *bytes = static_cast<unsigned char *>(const_cast<void *>(start));
    for (size_t i = 0; i < record.field_count; ++i) {
        if (record.fields[i].kind != kt_records::KT_FIELD_TEXT_PTR) continue;
        char *text;
        std::memcpy(&text, bytes + record.fields[i].offset, sizeof text);  // packed: maybe unaligned
        free_text(text);
    }
    blocks_.erase(it);
    std::free(bytes);
    return true;
}

char *record_registry::copy_text(const char *text) {
    const size_t size = std::strlen(text) + 1;
    char *copy = new (std::nothrow) char[size];
    if (copy) std::memcpy(copy, text, size);
    return copy;
}

void record_registry::free_text(char *text) {
    delete[] text;
}

}  // namespace Tavrel
