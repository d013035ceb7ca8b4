// The record of what each function was given on its last call, and the requests
// for its next call that tests set (an output left null, a text written into a lent
// buffer). Reached from tests through the TavrelStandin_LastCall*/Set* functions.
#pragma once

#include <string>
#include <vector>

#include "crypto.h"
#include "kt_types.h"

namespace tavrel_standin {

struct recorded_argument {
    bool is_pointer = false;
    bool is_null = false;
    bool has_number = false;
    unsigned long long number = 0;
    bool has_bytes = false;
    std::string bytes;
};

// The arguments of one call as the library saw them, in library order from 0; published
// as the last call of `function` when the record goes out of scope. Constructing it
// takes the requests set for this call, so record before STANDIN_ENTER() to keep the
// record of a call whose status is forced.
class call_record {
  public:
    explicit call_record(const char *function) noexcept;
    call_record(const call_record &) = delete;
    call_record &operator=(const call_record &) = delete;
    ~call_record();

    call_record &pointer(const void *p) noexcept;
    call_record &number(unsigned long long value) noexcept;
    // Null or not, and exactly `length` bytes.
    call_record &bytes(const void *p, unsigned long long length) noexcept;
    // Two arguments: a buffer (as bytes()) and its length.
    call_record &sized(const void *p, unsigned long long length) noexcept { return bytes(p, length).number(length); }
    // Three arguments: a text form, a binary form and its length.
    call_record &text_and_sized(const char *t, const void *p, unsigned long long length) noexcept {
        return text(t).sized(p, length);
    }
    // Null or not, the bytes up to the NUL.
    call_record &text(const char *t) noexcept;
    // Up to and including the closing double NUL.
    call_record &multi_text(const char *t) noexcept;
    // Three arguments: the count; the items (their bytes concatenated); the lengths
    // (the array's raw bytes).
    call_record &byte_list(unsigned long long count, unsigned char *const *items, const DWORD *lengths) noexcept;

  private:
    call_record &add(recorded_argument argument) noexcept;
    call_record &terminated_text(const char *t, bool double_nul) noexcept;

    long slot_;
    bool complete_ = true;
    std::vector<recorded_argument> arguments_;
};

// Consumed by the current call of `function`: leave output argument `index` null while succeeding.
bool null_output_requested(const char *function, unsigned index) noexcept;
// Consumed by the current call: the bytes to write (with a NUL) into the lent text buffer at `index`.
bool lent_text_requested(const char *function, unsigned index, std::string *text) noexcept;

// Consumed by the current call: the length to write for the buffer output at `index`.
bool output_length_requested(const char *function, unsigned index, DWORD *length) noexcept;

// Writes the requested text into the lent text buffer `buffer` (argument `index`), if any.
void write_lent_text(const char *function, unsigned index, char *buffer) noexcept;

// Consumed by the current call of `function`: the status it returns once its outputs are
// handed out, 0 when none was asked for.
DWORD late_status(const char *function) noexcept;

// A call's pointer outputs, made first and handed to the caller together by commit(),
// honouring the requests: a buffer or text asked to stay null is not made, while a
// buffer's length is still written (the length asked for, if one was). What is not
// committed is freed.
class output_batch {
  public:
    explicit output_batch(const char *function) noexcept : function_(function) {}
    output_batch(const output_batch &) = delete;
    output_batch &operator=(const output_batch &) = delete;
    ~output_batch();

    // `out` (argument `index`) may be null: not requested, nothing made.
    output_batch &buffer(unsigned index, const bytes &data, unsigned char **out, DWORD *length);
    output_batch &text(unsigned index, const std::string &text, char **out);
    // Writes every output; returns 0, or the late status asked for this call.
    DWORD commit() noexcept;

  private:
    struct pending {
        unsigned char *made;
        void **out;
        DWORD *length;
        DWORD size;  // the length written
    };
    const char *function_;
    std::vector<pending> outputs_;
};

// TavrelStandin_Reset's share: forgets every record and request.
void reset_call_records() noexcept;

}  // namespace tavrel_standin
