// What the library hands out and callers give back: contexts, private-key
// contexts, buffers and filled records, with the counters tests read.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "crypto.h"
#include "kt_record_fields.h"
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

// Texts for a record in Windows-1251, freed with the record; an empty text is a text too.
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

// The field table of each record the library fills.
template <class Record>
struct filled_record;
#define STANDIN_FILLED_RECORD(R)                                     \
    template <>                                                      \
    struct filled_record<R> {                                        \
        static constexpr const auto &fields = kt_records::R##_fields; \
    };
STANDIN_FILLED_RECORD(KT_CERT_OWNER_INFO)
STANDIN_FILLED_RECORD(KT_SIGN_INFO)
STANDIN_FILLED_RECORD(KT_CERT_INFO)
STANDIN_FILLED_RECORD(KT_CERT_INFO_EX)
STANDIN_FILLED_RECORD(KT_CR_INFO)
#undef STANDIN_FILLED_RECORD

// Points every text field of `filled` that is still null to an empty text of `texts`: a
// record the library fills holds a text in each, empty where there is nothing.
void complete_texts(void *filled, const kt_records::kt_field *fields, size_t count, record_texts &texts);

namespace detail {
void commit_record(void *record, const void *filled, size_t size, record_texts &texts);
void *new_library_record(const void *filled, size_t size, record_texts &texts);
}  // namespace detail

// Completes the texts of `filled`, copies it into the caller's `record` and remembers its
// texts until a release function is given the record.
template <class Record>
void commit_record(Record *record, Record &filled, record_texts &texts) {
    const auto &fields = filled_record<Record>::fields;
    complete_texts(&filled, fields, std::size(fields), texts);
    detail::commit_record(record, &filled, sizeof filled, texts);
}
// The same for a record the library allocates itself (KT_CERT_INFO_EX, KT_CR_INFO).
template <class Record>
Record *new_library_record(Record &filled, record_texts &texts) {
    const auto &fields = filled_record<Record>::fields;
    complete_texts(&filled, fields, std::size(fields), texts);
    return static_cast<Record *>(detail::new_library_record(&filled, sizeof filled, texts));
}
// Frees what a filled record holds and zeroes it (frees it, if the library made
// it); a record the library did not fill is left alone.
void release_record(void *record) noexcept;

TavrelStandinCounters counters() noexcept;
void reset_violations() noexcept;
// "outstanding buffers=0 records=0 contexts=0 private-keys=0 violations=0"
std::string counters_line();

}  // namespace tavrel_standin
