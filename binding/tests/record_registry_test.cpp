#include "record_registry.h"

#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

namespace {

using Tavrel::record_block;
using Tavrel::record_registry;
using kt_records::kt_record;

const kt_record &record_named(const char *name) {
    for (const kt_record &r : kt_records::all)
        if (std::strcmp(r.name, name) == 0) return r;
    throw std::logic_error(name);
}

const int kind = 0;

TEST(RecordRegistry, FindsRangesWithinOneLiveRecord) {
    record_registry registry;
    const kt_record &info = record_named("KT_SIGN_INFO");  // 164 bytes
    const record_block *block = registry.allocate(info, &kind);
    ASSERT_NE(nullptr, block);
    const char *start = static_cast<const char *>(block->start);
    const struct {
        const char *label;
        const void *p;
        size_t size;
        bool found;
    } cases[] = {
        {"whole record", start, 164, true},
        {"time field", start + 148, 16, true},
        {"last byte", start + 163, 1, true},
        {"past the end", start + 149, 16, false},
        {"longer than the record", start, 165, false},
        {"just after", start + 164, 1, false},
        {"just before", reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(start) - 1), 1, false},
        {"null", nullptr, 1, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.found ? block : nullptr, registry.find(c.p, c.size)) << c.label;
    }
    EXPECT_TRUE(registry.release(start));
    EXPECT_EQ(nullptr, registry.find(start, 1));
    EXPECT_EQ(nullptr, registry.find(start + 148, 16));
}

TEST(RecordRegistry, ReleasesOnlyLiveRecordsOnce) {
    record_registry registry;
    const record_block *block = registry.allocate(record_named("SYSTEMTIME"), &kind);
    ASSERT_NE(nullptr, block);
    const char *start = static_cast<const char *>(block->start);
    int on_stack = 0;
    for (const void *other : {static_cast<const void *>(nullptr), static_cast<const void *>(&on_stack),
                              static_cast<const void *>(start + 2)}) {
        EXPECT_FALSE(registry.release(other));
    }
    for (size_t i = 0; i < 16; ++i) ASSERT_EQ(0, start[i]) << i;  // zero-filled
    EXPECT_NE(nullptr, registry.find(start, 16));
    EXPECT_TRUE(registry.release(start));
    EXPECT_FALSE(registry.release(start));
}

TEST(RecordRegistry, SerialsAreNeverReusedAndTextsGoWithTheRecord) {
    record_registry registry;
    const kt_record &r = record_named("KT_CRL_INFO");
    const record_block *first = registry.allocate(r, &kind);
    ASSERT_NE(nullptr, first);
    const void *address = first->start;
    const uint64_t serial = first->serial;
    ASSERT_TRUE(registry.release(address));
    // The allocator usually hands the same address out again at once.
    const record_block *second = registry.allocate(r, &kind);
    ASSERT_NE(nullptr, second);
    EXPECT_GT(second->serial, serial);

    // Left with a text to the registry's destructor (a leak shows under the sanitizer).
    char *text = record_registry::copy_text("issuer");
    const size_t issuer = r.fields[1].offset;  // pszIssuer
    std::memcpy(static_cast<char *>(const_cast<void *>(second->start)) + issuer, &text, sizeof text);
}

}  // namespace
