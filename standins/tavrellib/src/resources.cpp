#include "resources.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "controls.h"
#include "cp1251.h"
#include "session.h"

namespace tavrel_standin {
namespace {

struct context_state {
    unsigned long live_keys = 0;
};

struct key_entry {
    std::shared_ptr<const private_key> key;
    std::shared_ptr<context_state> context;
};

struct record_entry {
    size_t size;
    bool library_owned;
    std::vector<char *> texts;
};

struct registry {
    std::mutex lock;
    std::map<void *, std::shared_ptr<context_state>> contexts;
    std::map<void *, key_entry> keys;
    std::map<unsigned char *, unsigned long> buffers;  // each live buffer's number
    unsigned long buffers_made = 0;
    std::map<void *, record_entry> records;
    unsigned long violations = 0;
};

registry &state() {
    static registry instance;
    return instance;
}

void free_texts(std::vector<char *> &texts) {
    for (char *t : texts) std::free(t);
    texts.clear();
}

}  // namespace

void *new_context() {
    auto context = std::make_shared<context_state>();
    registry &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    void *handle = context.get();
    r.contexts.emplace(handle, std::move(context));
    return handle;
}

bool is_context(void *handle) {
    registry &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.contexts.count(handle) != 0;
}

void free_context(void *handle) noexcept {
    unsigned long live = 0;
    {
        registry &r = state();
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.contexts.find(handle);
        if (it == r.contexts.end()) return;
        live = it->second->live_keys;
        if (live) ++r.violations;
        r.contexts.erase(it);  // its keys keep the state alive
    }
    if (live) {
        char line[128];
        std::snprintf(line, sizeof line, "violation KTCtxFree: context freed with %lu live private key(s)", live);
        trace_line(line);
    }
}

void *new_private_key(void *context, material_ptr material) {
    auto key = std::make_shared<private_key>(private_key{std::move(material)});
    registry &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.contexts.find(context);
    if (it == r.contexts.end()) return nullptr;
    void *handle = const_cast<private_key *>(key.get());
    r.keys.emplace(handle, key_entry{std::move(key), it->second});
    ++it->second->live_keys;
    return handle;
}

std::shared_ptr<const private_key> find_private_key(void *handle) {
    registry &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.keys.find(handle);
    return it == r.keys.end() ? nullptr : it->second.key;
}

void free_private_key(void *handle) noexcept {
    key_entry gone;
    registry &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.keys.find(handle);
    if (it == r.keys.end()) return;
    --it->second.context->live_keys;
    gone = std::move(it->second);
    r.keys.erase(it);
}

unsigned char *new_buffer(const bytes &data) {
    auto *buffer = static_cast<unsigned char *>(std::malloc(data.empty() ? 1 : data.size()));
    if (!buffer) throw std::bad_alloc();
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    registry &r = state();
    try {
        std::lock_guard<std::mutex> guard(r.lock);
        r.buffers.emplace(buffer, r.buffers_made + 1);
        ++r.buffers_made;
    } catch (...) {
        std::free(buffer);
        throw;
    }
    return buffer;
}

unsigned long free_buffer(unsigned char *buffer) noexcept {
    registry &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.buffers.find(buffer);
    if (it == r.buffers.end()) return 0;
    const unsigned long number = it->second;
    std::free(buffer);
    r.buffers.erase(it);
    return number;
}

record_texts::~record_texts() { free_texts(texts_); }

char *record_texts::operator()(const std::string &utf8) {
    std::string text = utf8_to_cp1251_lossy(utf8);
    texts_.reserve(texts_.size() + 1);
    char *copy = strdup(text.c_str());
    if (!copy) throw std::bad_alloc();
    texts_.push_back(copy);
    return copy;
}

void complete_texts(void *filled, const kt_records::kt_field *fields, size_t count, record_texts &texts) {
    for (size_t i = 0; i < count; ++i) {
        const kt_records::kt_field &f = fields[i];
        if (f.kind != kt_records::KT_FIELD_TEXT_PTR) continue;
        unsigned char *at = static_cast<unsigned char *>(filled) + f.offset;
        char *text = nullptr;
        std::memcpy(&text, at, sizeof text);  // packed: the field may be unaligned
        if (text) continue;
        text = texts(std::string());
        std::memcpy(at, &text, sizeof text);
    }
}

void detail::commit_record(void *record, const void *filled, size_t size, record_texts &texts) {
    registry &r = state();
    std::vector<char *> replaced;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.records.find(record);
        if (it != r.records.end()) {
            // Filled again without a release: the old texts would be lost otherwise.
            replaced = std::move(it->second.texts);
            r.records.erase(it);
        }
        r.records.emplace(record, record_entry{size, false, {}});
        r.records[record].texts = texts.release();
    }
    free_texts(replaced);
    std::memcpy(record, filled, size);
}

void *detail::new_library_record(const void *filled, size_t size, record_texts &texts) {
    void *record = std::malloc(size);
    if (!record) throw std::bad_alloc();
    std::memcpy(record, filled, size);
    registry &r = state();
    try {
        std::lock_guard<std::mutex> guard(r.lock);
        r.records.emplace(record, record_entry{size, true, {}});
        r.records[record].texts = texts.release();
    } catch (...) {
        std::free(record);
        throw;
    }
    return record;
}

void release_record(void *record) noexcept {
    record_entry entry;
    {
        registry &r = state();
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.records.find(record);
        if (it == r.records.end()) return;
        entry = std::move(it->second);
        r.records.erase(it);
    }
    free_texts(entry.texts);
    if (entry.library_owned) std::free(record);
    else std::memset(record, 0, entry.size);
}

TavrelStandinCounters counters() noexcept {
    unsigned long sessions = live_sessions();
    registry &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    return TavrelStandinCounters{r.buffers.size(), r.records.size(), r.contexts.size(), r.keys.size(), r.violations,
                                 sessions};
}

void reset_violations() noexcept {
    registry &r = state();
    std::lock_guard<std::mutex> guard(r.lock);
    r.violations = 0;
}

std::string counters_line() {
    TavrelStandinCounters c = counters();
    char line[200];
    std::snprintf(line, sizeof line, "outstanding buffers=%lu records=%lu contexts=%lu private-keys=%lu violations=%lu",
                  c.buffers, c.records, c.contexts, c.privateKeys, c.violations);
    return line;
}

}  // namespace tavrel_standin
