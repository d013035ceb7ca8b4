#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "log_briefs.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/zrc_flex.h"

using namespace Zarn::Support;

namespace {

// Too large for any allocator: realloc refuses it (the test environment lets sanitizer
// allocators return null instead of aborting).
constexpr size_t kImpossible = SIZE_MAX / 2;

class Flex : public ::testing::Test {
protected:
    void SetUp() override { log_capture::clear(); }
};

TEST_F(Flex, ResetGrowsKeepsContentAndNeverShrinks) {
    flexbuffer b;
    EXPECT_EQ(nullptr, b.reset(0));
    EXPECT_EQ(nullptr, b.data);

    char *p = static_cast<char *>(b.reset(100));
    ASSERT_NE(nullptr, p);
    std::memcpy(p, "abc", 3);
    EXPECT_EQ(p, b.reset(10));
    EXPECT_EQ(10u, b.size);
    EXPECT_EQ(100u, b.capacity);

    EXPECT_EQ(nullptr, b.reset(0));  // size 0, memory kept
    EXPECT_EQ(0u, b.size);
    EXPECT_EQ(p, b.data);

    char *q = static_cast<char *>(b.reset(5000));
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(0, std::memcmp(q, "abc", 3));
    EXPECT_EQ((std::vector<std::string>{"4 reset done: realloc (old-size:0, new-size:100)",
                                        "4 reset done: realloc (old-size:100, new-size:5000)"}),
              log_capture::briefs());
}

TEST_F(Flex, FailedResetLeavesTheBufferAsItWas) {
    flexbuffer b;
    void *p = b.reset(64);
    b.reset(32);
    log_capture::clear();
    EXPECT_EQ(nullptr, b.reset(kImpossible));
    EXPECT_EQ(p, b.data);
    EXPECT_EQ(64u, b.capacity);
    EXPECT_EQ(32u, b.size);
    EXPECT_EQ((std::vector<std::string>{"2 reset fail: realloc (old-size:64, new-size:" +
                                        std::to_string(kImpossible) + ")"}),
              log_capture::briefs());
}

TEST_F(Flex, CopiesDuplicateTheBytesInUse) {
    flexbuffer source;
    std::memcpy(source.reset(6), "hello", 6);
    flexbuffer copy(source);
    EXPECT_NE(source.data, copy.data);
    EXPECT_EQ(6u, copy.size);
    EXPECT_STREQ("hello", static_cast<char *>(copy.data));

    flexbuffer target;
    target.reset(200);
    target = source;
    EXPECT_EQ(6u, target.size);
    EXPECT_EQ(200u, target.capacity);
    EXPECT_STREQ("hello", static_cast<char *>(target.data));

    void *before = target.data;
    target = target;
    EXPECT_EQ(before, target.data);
}

TEST_F(Flex, CopiesOfAnEmptyBufferThrow) {
    flexbuffer empty, target;
    EXPECT_THROW(flexbuffer{empty}, std::bad_alloc);
    EXPECT_THROW(target = empty, std::bad_alloc);
}

TEST_F(Flex, PrintfFitsOrGrowsOnce) {
    struct row {
        size_t room;
        const char *arg;
        size_t size;  // size afterwards
    };
    const row rows[] = {
        {32, "short", 32},                 // fits: room unchanged
        {4, "longer than four", 25},       // "value <...>" and its NUL take 25
        {25, "longer than four", 25},      // exactly fits with its NUL
        {24, "longer than four", 25},      // one short: grows
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.arg + std::string(" room ") + std::to_string(r.room));
        flexbuffer b;
        b.reset(r.room);
        EXPECT_TRUE(flexprintf(b, "value <%s>", r.arg));
        EXPECT_EQ("value <" + std::string(r.arg) + ">", static_cast<char *>(b.data));
        EXPECT_EQ(r.size, b.size);
    }
}

TEST_F(Flex, PrintfFailures) {
    flexbuffer empty;
    EXPECT_THROW(flexprintf(empty, "x"), internal_error);

    flexbuffer b;
    b.reset(4);
    log_capture::clear();
    // A wide character the C locale cannot convert makes vsnprintf fail.
    EXPECT_THROW(flexprintf(b, "%lc", static_cast<wint_t>(0x100)), internal_error);
    EXPECT_EQ((std::vector<std::string>{"2 flexprintf fail: snprintf (error:-1)"}), log_capture::briefs());
}

}  // namespace
