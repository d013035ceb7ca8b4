#include "live_registry.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

using Tavrel::live_registry;

TEST(LiveRegistry, AllocatesZeroedLiveBlocks) {
    live_registry registry;
    auto *block = static_cast<unsigned char *>(registry.allocate(100));
    ASSERT_NE(nullptr, block);
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ(0, block[i]) << i;
    std::memset(block, 0xAB, 100);  // the whole block is usable
    EXPECT_TRUE(registry.is_live(block));

    void *empty = registry.allocate(0);
    ASSERT_NE(nullptr, empty);
    EXPECT_NE(static_cast<void *>(block), empty);
    EXPECT_TRUE(registry.is_live(empty));
    EXPECT_TRUE(registry.release(empty));
    EXPECT_TRUE(registry.release(block));
}

TEST(LiveRegistry, ReleasesOnlyLiveBlocksOnce) {
    live_registry registry;
    auto *block = static_cast<char *>(registry.allocate(16));
    int on_stack = 0;
    // Nothing that is not the start of a live block is freed or forgotten.
    for (const void *other : {static_cast<const void *>(nullptr), static_cast<const void *>(&on_stack),
                              static_cast<const void *>(block + 1)}) {
        EXPECT_FALSE(registry.release(other));
        EXPECT_FALSE(registry.is_live(other));
    }
    EXPECT_TRUE(registry.is_live(block));
    EXPECT_TRUE(registry.release(block));
    EXPECT_FALSE(registry.is_live(block));
    EXPECT_FALSE(registry.release(block));
}

TEST(LiveRegistry, ContainsRangesWithinOneLiveBlock) {
    live_registry registry;
    auto *first = static_cast<char *>(registry.allocate(16));
    const void *before_first = reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(first) - 1);
    const struct {
        const char *label;
        const void *p;
        size_t size;
        bool inside;
    } cases[] = {
        {"whole block", first, 16, true},
        {"interior range", first + 4, 8, true},
        {"ending at the block's end", first + 14, 2, true},
        {"last byte", first + 15, 1, true},
        {"past the end", first + 15, 2, false},
        {"one past the block", first + 16, 1, false},
        {"larger than the block", first, 17, false},
        {"before the block", before_first, 1, false},
        {"null", nullptr, 1, false},
    };
    for (const auto &c : cases) EXPECT_EQ(c.inside, registry.contains(c.p, c.size)) << c.label;

    auto *second = static_cast<char *>(registry.allocate(16));
    EXPECT_TRUE(registry.contains(second + 2, 14));
    EXPECT_FALSE(registry.contains(first + 8, 16));  // not within one block, adjacent or not
    ASSERT_TRUE(registry.release(first));
    EXPECT_FALSE(registry.contains(first + 4, 8));
    EXPECT_TRUE(registry.contains(second, 16));
    registry.release(second);
}

}  // namespace
