// The provider in process: waiting for a slot, and requests whose copy cannot be made.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <time.h>

#include "call_trace.h"
#include "log_briefs.h"
#include "tavrel_standin.h"
#include "vek_provider.h"
#include "vek_test_support.h"

using namespace Zarn::Support::Crypto::Vek;

// Without a sanitizer the test can make one realloc of a chosen size fail.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VEK_FAILING_REALLOC 1
namespace {
std::atomic<size_t> _s_failSize{0};
std::atomic<int> _s_failCountdown{0};  // the call of that size that fails
}  // namespace
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *realloc(void *p, size_t n) {
    if (n == _s_failSize.load() && --_s_failCountdown == 0) return nullptr;
    return __libc_realloc(p, n);
}
#endif

namespace {

struct answers {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<std::pair<int, bool>> got;  // status, signature given

    static void handler(void *context, int status, const unsigned char *, unsigned int, const unsigned char *sign,
                        unsigned int) {
        answers &a = *static_cast<answers *>(context);
        std::lock_guard<std::mutex> hold(a.lock);
        a.got.emplace_back(status, sign != nullptr);
        a.cv.notify_all();
    }
    std::vector<std::pair<int, bool>> wait_for(size_t n) {
        std::unique_lock<std::mutex> hold(lock);
        cv.wait_for(hold, std::chrono::seconds(20), [&] { return got.size() >= n; });
        return got;
    }
};

class Provider : public ::testing::Test {
protected:
    void SetUp() override {
        TavrelStandin_Reset();
        TavrelStandin_SetWorldPath(dir.write("world.json", vek_test::default_world()).c_str());
        provider = Provider__Create(dir.write("conf.json", vek_test::device_conf()).c_str());
        log_capture::clear();
    }
    void TearDown() override {
        if (provider) provider->stop();
        provider.reset();
        const TavrelStandinCounters c = TavrelStandin_GetCounters();
        EXPECT_EQ(0u, c.buffers + c.records + c.contexts + c.privateKeys + c.violations);
        TavrelStandin_Reset();
    }

    int sign(const std::vector<unsigned char> &data, unsigned short timeoutMs = 0) {
        return provider->getSign(data.data(), data.size(), &answers::handler, &a, timeoutMs);
    }

    vek_test::temp_dir dir;
    std::unique_ptr<provider_like> provider;
    answers a;
};

TEST_F(Provider, WaitsForASlotUpToItsTimeout) {
    TavrelStandin_SetDelay("KTCtxSignData", 150);
    const std::vector<unsigned char> data(10, 'x');
    provider->start();
    ASSERT_EQ(0, sign(data));
    for (int i = 0; i < 1000 && TavrelStandin_CallCount("KTCtxSignData") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(0, sign(data));
    ASSERT_EQ(0, sign(data));
    log_capture::clear();
    EXPECT_EQ(-3, sign(data, 20));
    EXPECT_EQ(std::vector<std::string>{"2 getSign fail: kSVEK_BUSY (timeout:20ms)"}, log_capture::briefs(2));
    EXPECT_EQ(0, sign(data, 10000));  // a slot frees when the worker takes the next request
    EXPECT_EQ(4u, a.wait_for(4).size());
}

// The worker makes its engine first: a stop that is already there when it starts is
// seen only after that.
TEST_F(Provider, StartFollowedAtOnceByCloseMakesTheWorkersEngine) {
    const std::string trace = dir.file("trace");
    TavrelStandin_SetTracePath(trace.c_str());
    provider->start();
    provider->stop();
    provider.reset();
    TavrelStandin_SetTracePath(nullptr);
    EXPECT_EQ(1u, log_capture::count("Engine__Create", "done"));
    const std::vector<std::string> calls = zarn_test::trace_lines(trace);
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "KTCtxCreate"));
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "KTCtxReadPrivateKey"));
    EXPECT_EQ(1u, log_capture::count("doManyWork", "exec: cancel"));
}

// After an answer the worker stays awake only briefly: idle, it uses no CPU. A worker that
// kept polling would use about the whole pause.
TEST_F(Provider, AnIdleWorkerSleeps) {
    provider->start();
    ASSERT_EQ(0, sign(std::vector<unsigned char>(10, 'x')));
    ASSERT_EQ(1u, a.wait_for(1).size());
    const auto cpu_ms = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
    };
    const double before = cpu_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_LT(cpu_ms() - before, 100.0);
}

TEST_F(Provider, RequestWhoseCopyCannotBeMadeIsAnsweredWithMinusOne) {
#ifndef VEK_FAILING_REALLOC
    GTEST_SKIP() << "allocation failures are injected only without a sanitizer";
#else
    provider->start();
    const std::vector<unsigned char> data(123457, 'x');
    _s_failCountdown = 2;  // the slot's copy succeeds, the worker's fails
    _s_failSize = data.size();
    ASSERT_EQ(0, sign(data));
    auto got = a.wait_for(1);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(std::make_pair(-1, false), got[0]);
    EXPECT_EQ(1u, log_capture::count("reset", "fail: realloc (old-size:0, new-size:123457)"));

    ASSERT_EQ(0, sign(data));  // the worker's copy grows now
    got = a.wait_for(2);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(std::make_pair(0, true), got[1]);

    const std::vector<unsigned char> larger(200003, 'y');
    _s_failCountdown = 1;  // the slot's copy fails: refused, the ring unchanged
    _s_failSize = larger.size();
    log_capture::clear();
    EXPECT_EQ(-1, sign(larger));
    EXPECT_EQ(1u, log_capture::count("getSign", "fail: kSVEK_FAIL"));
    _s_failSize = 0;
    ASSERT_EQ(0, sign(larger));
    EXPECT_EQ(3u, a.wait_for(3).size());
#endif
}

}  // namespace
