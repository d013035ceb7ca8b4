#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zarn/support/zrc_ring.h"

using namespace Zarn::Support;

namespace {

// Slot index of a pointer returned by the ring, -1 for null.
int index_of(const Ring *ring, const void *slot) {
    if (!slot) return -1;
    return static_cast<int>((static_cast<const unsigned char *>(slot) - static_cast<unsigned char *>(ring->slots)) /
                            ring->elemSize);
}

// One step of a scripted session and what it must give.
struct step {
    const char *op;  // put, over (put with overwrite), head, pophead, tail, poptail
    int slot;        // slot index returned (-1 null); ignored by pops
    int count;       // ring count afterwards
    int head;        // ring head afterwards
};

struct script {
    const char *name;
    uint16_t capacity;
    std::vector<step> steps;
};

void run(const script &s) {
    Ring *ring = nullptr;
    ASSERT_TRUE(Ring__Create(8, s.capacity, &ring));
    for (size_t i = 0; i < s.steps.size(); ++i) {
        const step &st = s.steps[i];
        const std::string op = st.op;
        SCOPED_TRACE(std::string(s.name) + " step " + std::to_string(i) + " " + op);
        int got = -1;
        if (op == "put") got = index_of(ring, Ring__PutHead(ring, false));
        else if (op == "over") got = index_of(ring, Ring__PutHead(ring, true));
        else if (op == "head") got = index_of(ring, Ring__GetHead(ring));
        else if (op == "tail") got = index_of(ring, Ring__GetTail(ring, nullptr));
        else if (op == "pophead") Ring__PopHead(ring);
        else if (op == "poptail") Ring__PopTail(ring);
        else FAIL() << "unknown op";
        if (op != "pophead" && op != "poptail") {
            EXPECT_EQ(st.slot, got);
        }
        EXPECT_EQ(st.count, ring->count);
        EXPECT_EQ(st.head, ring->head);
    }
    Ring__Destroy(ring);
}

TEST(Ring, ScriptedSessions) {
    const script scripts[] = {
        {"two slots fill from slot 1",
         2,
         {{"put", 1, 1, 1}, {"put", 0, 2, 0}, {"put", -1, 2, 0}, {"tail", 1, 2, 0}, {"poptail", 0, 1, 0},
          {"tail", 0, 1, 0}, {"head", 0, 1, 0}, {"poptail", 0, 0, 0}, {"tail", -1, 0, 0}, {"put", 1, 1, 1}}},
        {"overwrite keeps count and takes the oldest",
         2,
         {{"put", 1, 1, 1}, {"put", 0, 2, 0}, {"over", 1, 2, 1}, {"tail", 0, 2, 1}, {"head", 1, 2, 1}}},
        {"empty ring pops change nothing",
         3,
         {{"pophead", 0, 0, 0}, {"poptail", 0, 0, 0}, {"head", -1, 0, 0}, {"tail", -1, 0, 0}}},
        {"pop head walks back and wraps",
         3,
         {{"put", 1, 1, 1}, {"put", 2, 2, 2}, {"put", 0, 3, 0}, {"pophead", 0, 2, 2}, {"head", 2, 2, 2},
          {"tail", 1, 2, 2}, {"pophead", 0, 1, 1}, {"pophead", 0, 0, 0}, {"pophead", 0, 0, 0}}},
        {"tail follows the producer around the ring",
         3,
         {{"put", 1, 1, 1}, {"put", 2, 2, 2}, {"poptail", 0, 1, 2}, {"put", 0, 2, 0}, {"put", 1, 3, 1},
          {"tail", 2, 3, 1}, {"poptail", 0, 2, 1}, {"tail", 0, 2, 1}}},
    };
    for (const script &s : scripts) run(s);
}

TEST(Ring, GetNextWalksOldestToNewest) {
    Ring *ring = nullptr;
    ASSERT_TRUE(Ring__Create(4, 4, &ring));
    for (int i = 0; i < 6; ++i) Ring__PutHead(ring, true);  // head 2, slots 3, 0, 1, 2
    uint16_t cursor = 0;
    std::vector<int> walk{index_of(ring, Ring__GetTail(ring, &cursor))};
    EXPECT_EQ(4, cursor);
    while (void *slot = Ring__GetNext(ring, &cursor)) walk.push_back(index_of(ring, slot));
    EXPECT_EQ((std::vector<int>{3, 0, 1, 2}), walk);
    EXPECT_EQ(1, cursor);
    EXPECT_EQ(nullptr, Ring__GetNext(ring, &cursor));
    Ring__Destroy(ring);
}

TEST(Ring, CreateRefusesZeroSizesAndLeavesOutUntouched) {
    Ring *const sentinel = reinterpret_cast<Ring *>(0x1);
    Ring *ring = sentinel;
    EXPECT_FALSE(Ring__Create(8, 0, &ring));
    EXPECT_FALSE(Ring__Create(0, 2, &ring));
    EXPECT_EQ(sentinel, ring);
    Ring__Destroy(nullptr);
}

// Counts live slot objects, so the test can see each slot built and destroyed once.
struct counted {
    static int live;
    static int built;
    std::vector<char> payload;  // owns memory: a leak shows under LeakSanitizer
    counted() noexcept {
        ++live;
        ++built;
    }
    ~counted() { --live; }
};
int counted::live = 0;
int counted::built = 0;

TEST(Ring2, BuildsEverySlotOnceAndDestroysEachWhateverItsState) {
    counted::live = counted::built = 0;
    {
        ring2<counted> r(3);
        EXPECT_EQ(3, counted::built);
        EXPECT_EQ(0, r.count());
        EXPECT_EQ(nullptr, r.head());
        counted *a = r.putHead();
        ASSERT_NE(nullptr, a);
        a->payload.assign(100, 'x');
        counted *b = r.putHead();
        b->payload.assign(50, 'y');
        r.popTail();  // a is free again, its memory still owned by its slot
        EXPECT_EQ(1, r.count());
    }
    EXPECT_EQ(0, counted::live);
    EXPECT_EQ(3, counted::built);
}

}  // namespace
