#include "call_record.h"

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "controls.h"
#include "kt_api.h"
#include "resources.h"
#include "tavrel_standin.h"

namespace tavrel_standin {
namespace {

// What tests asked of a function's next call.
struct requests {
    std::set<unsigned> null_outputs;
    std::map<unsigned, std::string> lent_texts;
    std::map<unsigned, DWORD> output_lengths;
    DWORD late_status = 0;
};

struct function_calls {
    bool recorded = false;
    std::vector<recorded_argument> last;
    requests next;     // for the next call
    requests current;  // taken by the call now running
};

struct call_records {
    std::mutex lock;
    function_calls functions[kt_function_count];
};

call_records &state() {
    static call_records instance;
    return instance;
}
namespace {
// Made when the library is loaded, so it outlives what its callers register later (a
// plug-in's closer that still signs at exit).
[[maybe_unused]] call_records &made_at_load = state();
}  // namespace

// Takes the current call's request at `index` from one map of its requests.
template <class Value>
bool take_request(const char *function, std::map<unsigned, Value> requests::*field, unsigned index,
                  Value *out) noexcept {
    long slot = function_slot(function);
    if (slot < 0) return false;
    call_records &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    auto &taken = r.functions[slot].current.*field;
    auto it = taken.find(index);
    if (it == taken.end()) return false;
    *out = std::move(it->second);
    taken.erase(it);
    return true;
}

// The bytes of a text up to its NUL, or of a multi-string with its closing double NUL.
std::string terminated(const char *t, bool double_nul) {
    size_t n = 0;
    if (double_nul) {
        while (t[n] || t[n + 1]) ++n;
        n += 2;
    } else {
        n = std::strlen(t);
    }
    return std::string(t, n);
}

}  // namespace

call_record::call_record(const char *function) noexcept : slot_(function_slot(function)) {
    if (slot_ < 0) return;
    call_records &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    function_calls &f = r.functions[slot_];
    f.current = std::move(f.next);
    f.next = requests{};
}

call_record::~call_record() {
    if (slot_ < 0 || !complete_) return;
    call_records &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    function_calls &f = r.functions[slot_];
    f.recorded = true;
    f.last.swap(arguments_);
}

call_record &call_record::add(recorded_argument argument) noexcept {
    if (slot_ < 0 || !complete_) return *this;
    try {
        arguments_.push_back(std::move(argument));
    } catch (...) {
        complete_ = false;  // a record with gaps would mislead; publish none
    }
    return *this;
}

call_record &call_record::pointer(const void *p) noexcept {
    recorded_argument a;
    a.is_pointer = true;
    a.is_null = p == nullptr;
    return add(std::move(a));
}

call_record &call_record::number(unsigned long long value) noexcept {
    recorded_argument a;
    a.has_number = true;
    a.number = value;
    return add(std::move(a));
}

call_record &call_record::bytes(const void *p, unsigned long long length) noexcept {
    recorded_argument a;
    a.is_pointer = true;
    a.is_null = p == nullptr;
    try {
        if (p) a.bytes.assign(static_cast<const char *>(p), length);
        a.has_bytes = p != nullptr;
    } catch (...) {
        complete_ = false;
    }
    return add(std::move(a));
}

call_record &call_record::terminated_text(const char *t, bool double_nul) noexcept {
    recorded_argument a;
    a.is_pointer = true;
    a.is_null = t == nullptr;
    try {
        if (t) a.bytes = terminated(t, double_nul);
        a.has_bytes = t != nullptr;
    } catch (...) {
        complete_ = false;
    }
    return add(std::move(a));
}

call_record &call_record::text(const char *t) noexcept {
    return terminated_text(t, false);
}

call_record &call_record::multi_text(const char *t) noexcept {
    return terminated_text(t, true);
}

call_record &call_record::byte_list(unsigned long long count, unsigned char *const *items,
                                    const DWORD *lengths) noexcept {
    number(count);
    recorded_argument joined;
    joined.is_pointer = true;
    joined.is_null = items == nullptr;
    recorded_argument sizes;
    sizes.is_pointer = true;
    sizes.is_null = lengths == nullptr;
    try {
        if (items && lengths) {
            for (unsigned long long i = 0; i < count; ++i)
                if (items[i]) joined.bytes.append(reinterpret_cast<const char *>(items[i]), lengths[i]);
            joined.has_bytes = true;
        }
        if (lengths) {
            sizes.bytes.assign(reinterpret_cast<const char *>(lengths), count * sizeof(DWORD));
            sizes.has_bytes = true;
        }
    } catch (...) {
        complete_ = false;
    }
    add(std::move(joined));
    return add(std::move(sizes));
}

bool null_output_requested(const char *function, unsigned index) noexcept {
    long slot = function_slot(function);
    if (slot < 0) return false;
    call_records &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.functions[slot].current.null_outputs.erase(index) != 0;
}

bool lent_text_requested(const char *function, unsigned index, std::string *text) noexcept {
    return take_request(function, &requests::lent_texts, index, text);
}

bool output_length_requested(const char *function, unsigned index, DWORD *length) noexcept {
    return take_request(function, &requests::output_lengths, index, length);
}

DWORD late_status(const char *function) noexcept {
    long slot = function_slot(function);
    if (slot < 0) return 0;
    call_records &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    return std::exchange(r.functions[slot].current.late_status, 0);
}

void write_lent_text(const char *function, unsigned index, char *buffer) noexcept {
    std::string text;
    if (!buffer || !lent_text_requested(function, index, &text)) return;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
}

output_batch::~output_batch() {
    for (pending &p : outputs_) free_buffer(p.made);
}

output_batch &output_batch::buffer(unsigned index, const tavrel_standin::bytes &data, unsigned char **out,
                                   DWORD *length) {
    bool made = out && !null_output_requested(function_, index);
    DWORD size = DWORD(data.size());
    output_length_requested(function_, index, &size);
    outputs_.reserve(outputs_.size() + 1);
    outputs_.push_back(pending{made ? new_buffer(data) : nullptr, reinterpret_cast<void **>(out), length, size});
    return *this;
}

output_batch &output_batch::text(unsigned index, const std::string &text, char **out) {
    bool made = out && !null_output_requested(function_, index);
    outputs_.reserve(outputs_.size() + 1);
    tavrel_standin::bytes terminated(text.begin(), text.end());
    terminated.push_back(0);
    outputs_.push_back(pending{made ? new_buffer(terminated) : nullptr, reinterpret_cast<void **>(out), nullptr, 0});
    return *this;
}

DWORD output_batch::commit() noexcept {
    for (pending &p : outputs_) {
        if (p.out) *p.out = p.made;
        if (p.length) *p.length = p.size;
    }
    outputs_.clear();
    return late_status(function_);
}

void reset_call_records() noexcept {
    call_records &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    for (function_calls &f : r.functions) f = function_calls{};
}

}  // namespace tavrel_standin

using tavrel_standin::function_slot;

namespace {

// The last record of `function` and its argument `index` under the lock; null if none.
template <class Body>
long with_argument(const char *function, unsigned index, Body &&body) {
    long slot = function_slot(function);
    if (slot < 0) return -1;
    auto &r = tavrel_standin::state();
    std::lock_guard<std::mutex> guard(r.lock);
    auto &f = r.functions[slot];
    if (!f.recorded || index >= f.last.size()) return -1;
    return body(f.last[index]);
}

}  // namespace

extern "C" {

int TavrelStandin_LastCallArgumentCount(const char *function) {
    long slot = function_slot(function);
    if (slot < 0) return -1;
    auto &r = tavrel_standin::state();
    std::lock_guard<std::mutex> guard(r.lock);
    auto &f = r.functions[slot];
    return f.recorded ? int(f.last.size()) : -1;
}

int TavrelStandin_LastCallIsNull(const char *function, unsigned index) {
    return int(with_argument(function, index, [](const tavrel_standin::recorded_argument &a) -> long {
        return a.is_pointer && a.is_null ? 1 : 0;
    }));
}

int TavrelStandin_LastCallNumber(const char *function, unsigned index, unsigned long long *value) {
    return int(with_argument(function, index, [&](const tavrel_standin::recorded_argument &a) -> long {
        if (!a.has_number || !value) return -1;
        *value = a.number;
        return 0;
    }));
}

long TavrelStandin_LastCallBytes(const char *function, unsigned index, void *out, unsigned long room) {
    return with_argument(function, index, [&](const tavrel_standin::recorded_argument &a) -> long {
        if (!a.has_bytes) return -1;
        if (out) std::memcpy(out, a.bytes.data(), std::min<size_t>(room, a.bytes.size()));
        return long(a.bytes.size());
    });
}

int TavrelStandin_SetNullOutput(const char *function, unsigned index) {
    long slot = function_slot(function);
    if (slot < 0) return -1;
    auto &r = tavrel_standin::state();
    try {
        std::lock_guard<std::mutex> guard(r.lock);
        r.functions[slot].next.null_outputs.insert(index);
    } catch (...) {
        return -1;
    }
    return 0;
}

int TavrelStandin_SetOutputLength(const char *function, unsigned index, unsigned long long length) {
    long slot = function_slot(function);
    if (slot < 0) return -1;
    auto &r = tavrel_standin::state();
    try {
        std::lock_guard<std::mutex> guard(r.lock);
        r.functions[slot].next.output_lengths[index] = DWORD(length);
    } catch (...) {
        return -1;
    }
    return 0;
}

int TavrelStandin_SetLateStatus(const char *function, unsigned long status) {
    long slot = function_slot(function);
    if (slot < 0) return -1;
    auto &r = tavrel_standin::state();
    std::lock_guard<std::mutex> guard(r.lock);
    r.functions[slot].next.late_status = DWORD(status);
    return 0;
}

int TavrelStandin_SetLentText(const char *function, unsigned index, const char *text, unsigned long length) {
    long slot = function_slot(function);
    if (slot < 0 || (!text && length) || length >= KT_SIGNER_INFO_MAX_LENGTH) return -1;
    auto &r = tavrel_standin::state();
    try {
        std::string copy = text ? std::string(text, length) : std::string();
        std::lock_guard<std::mutex> guard(r.lock);
        r.functions[slot].next.lent_texts[index] = std::move(copy);
    } catch (...) {
        return -1;
    }
    return 0;
}

}  // extern "C"
