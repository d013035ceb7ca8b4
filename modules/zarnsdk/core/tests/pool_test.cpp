#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "log_briefs.h"
#include "zarn/support/pool.h"

using namespace Zarn::Support;

namespace {

struct resource {
    int id;
    std::atomic<int> users{0};  // callers using it right now
};

// A factory that numbers what it makes and can be told to fail.
struct factory_state {
    std::atomic<int> made{0};
    std::atomic<int> mode{0};  // 0 make, 1 throw params_error, 2 return empty
    std::shared_ptr<resource> operator()() {
        if (mode == 1) throw params_error();
        if (mode == 2) return nullptr;
        auto r = std::make_shared<resource>();
        r->id = ++made;
        return r;
    }
};

class Pool : public ::testing::Test {
protected:
    void SetUp() override { log_capture::clear(); }
    factory_state state;
    std::function<std::shared_ptr<resource>()> factory() {
        return [this] { return state(); };
    }
};

int id_of(resource *r) { return r->id; }

TEST_F(Pool, BusyAtOnceWhileLentThenReusedWithoutTheFactory) {
    resource_pool<resource> pool(factory(), 1);
    std::promise<void> inside, release;
    std::thread holder([&] {
        pool.withResource<int>(0, [&](resource *) {
            inside.set_value();
            release.get_future().wait();
            return 0;
        });
    });
    inside.get_future().wait();
    EXPECT_THROW(pool.withResource<int>(0, id_of), busy_error);
    EXPECT_EQ((std::vector<std::string>{"2 acquireOne fail: kS_BUSY (timeout-ms:0)"}), log_capture::briefs());
    release.set_value();
    holder.join();
    EXPECT_EQ(1, pool.withResource<int>(0, id_of));
    EXPECT_EQ(1, state.made);
}

TEST_F(Pool, FactoryFailuresLeaveThePoolEmptyAndAreRetried) {
    resource_pool<resource> pool(factory(), 1);
    state.mode = 1;
    EXPECT_THROW(pool.withResource<int>(0, id_of), params_error);
    state.mode = 2;
    EXPECT_THROW(pool.withResource<int>(0, id_of), internal_error);
    EXPECT_EQ((std::vector<std::string>{"2 acquireOne fail: factory"}), log_capture::briefs());
    state.mode = 0;
    EXPECT_EQ(1, pool.withResource<int>(0, id_of));
}

TEST_F(Pool, AResourceWhoseUserThrewIsDropped) {
    resource_pool<resource> pool(factory(), 1);
    struct row {
        std::function<int(resource *)> fn;
        const char *logged;  // level-1 line, or null
    };
    const row rows[] = {
        {[](resource *) -> int { throw deny_error(); }, nullptr},
        {[](resource *) -> int { throw std::runtime_error("boom"); }, "1 withResource fail: exception <boom>"},
    };
    for (const row &r : rows) {
        const int before = pool.withResource<int>(0, id_of);  // idle afterwards
        log_capture::clear();
        EXPECT_ANY_THROW(pool.withResource<int>(0, r.fn));
        EXPECT_EQ(r.logged ? std::vector<std::string>{r.logged} : std::vector<std::string>{},
                  log_capture::briefs(1));
        const int after = pool.withResource<int>(0, id_of);
        EXPECT_NE(before, after);
        EXPECT_EQ(state.made, after);  // made afresh
    }
    EXPECT_THROW(pool.withResource<int>(0, [](resource *) -> int { throw params_error(); }), params_error);
}

TEST_F(Pool, WaitsUpToItsTimeout) {
    resource_pool<resource> pool(factory(), 1);
    std::promise<void> inside;
    std::thread holder([&] {
        pool.withResource<int>(0, [&](resource *) {
            inside.set_value();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return 0;
        });
    });
    inside.get_future().wait();
    EXPECT_EQ(1, pool.withResource<int>(5000, id_of));  // handed over when given back
    holder.join();

    std::promise<void> inside2, release;
    std::thread holder2([&] {
        pool.withResource<int>(0, [&](resource *) {
            inside2.set_value();
            release.get_future().wait();
            return 0;
        });
    });
    inside2.get_future().wait();
    log_capture::clear();
    EXPECT_THROW(pool.withResource<int>(20, id_of), busy_error);
    EXPECT_EQ((std::vector<std::string>{"2 acquireOne fail: kS_BUSY (timeout-ms:20)"}), log_capture::briefs());
    release.set_value();
    holder2.join();
}

TEST_F(Pool, DestructionWaitsForTheLentResource) {
    auto pool = std::make_unique<resource_pool<resource>>(factory(), 1);
    std::promise<void> inside;
    std::atomic<bool> returned{false};
    std::thread holder([&] {
        pool->withResource<int>(0, [&](resource *) {
            inside.set_value();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            returned = true;
            return 0;
        });
    });
    inside.get_future().wait();
    pool.reset();
    EXPECT_TRUE(returned);
    holder.join();
}

// Many callers, a few resources: never more made than the maximum, and each one used by
// one caller at a time.
TEST_F(Pool, ConcurrentCallersShareAtMostMaxResources) {
    resource_pool<resource> pool(factory(), 3);
    std::atomic<int> overlaps{0}, served{0}, busy{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                try {
                    pool.withResource<int>(i % 2 ? 0 : 10, [&](resource *r) {
                        if (++r->users != 1) ++overlaps;
                        std::this_thread::yield();
                        --r->users;
                        return 0;
                    });
                    ++served;
                } catch (const busy_error &) {
                    ++busy;
                }
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(0, overlaps);
    EXPECT_LE(state.made, 3);
    EXPECT_EQ(1600, served + busy);
}

}  // namespace
