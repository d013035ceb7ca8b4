// What the library hands out and callers give back: contexts, private-key
// contexts, buffers and filled records, with the counters tests read.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "crypto.h"
#include "tavrel_standin.h"

namespace tavrel_standin {

// A private-key context: the key and certificate read through a library context.
struct private_key {
    material_ptr material;
};

void *new_context();
bool is_context(void *handle);
// Frees a context; one that still has live private keys counts a violation.
void free_context(void *handle) noexcept;

// Null when `context` is no live context.
void *new_private_key(void *context, material_ptr material);
std::shared_ptr<const private_key> find_private_key(void *handle);
void free_private_key(void *handle) noexcept;

// A copy of `data` for the caller, released with KTFreeMemory.
unsigned char *new_buffer(const bytes &data);
// Frees a buffer the library made: its number (made from 1 in order), 0 for any other pointer.
unsigned long free_buffer(unsigned char *buffer) noexcept;

// Texts for a record in Windows-1251, freed with the record; empty texts are NULL.
class record_texts {
  public:
    record_texts() = default;
    record_texts(const record_texts &) = delete;
    record_texts &operator=(const record_texts &) = delete;
    ~record_texts();
    char *operator()(const std::string &utf8);
    std::vector<char *> release() { return std::move(texts_); }

  private:
    std::vector<char *> texts_;
};

// Copies `filled` (`size` bytes) into the caller's `record` and remembers its texts
// until a release function is given the record.
void commit_record(void *record, const void *filled, size_t size, record_texts &texts);
// A record the library allocates itself (KT_CERT_INFO_EX), released the same way.
void *new_library_record(const void *filled, size_t size, record_texts &texts);
// Frees what a filled record holds and zeroes it (frees it, if the library made
// it); a record the library did not fill is left alone.
void release_record(void *record) noexcept;

TavrelStandinCounters counters() noexcept;
void reset_violations() noexcept;
// "outstanding buffers=0 records=0 contexts=0 private-keys=0 violations=0"
std::string counters_line();

}  // namespace tavrel_standin
