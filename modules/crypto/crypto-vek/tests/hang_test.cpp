// Lifecycles that once could hang, looped, each under a watchdog: a stop racing a
// failing engine, Close without Stop, Close while handlers call the exports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tavrel_standin.h"
#include "vek_host.h"
#include "vek_test_support.h"

using namespace vek_host;

namespace {

std::atomic<bool> _s_resubmit{false};

// Answers on the ledger; may submit a follow-up and hash from inside the handler.
void handler(void *context, int, const unsigned char *, unsigned int, const unsigned char *, unsigned int) {
    book().answer(reinterpret_cast<long>(context));
    if (_s_resubmit) {
        unsigned char text[65];
        unsigned int size = sizeof text;
        plugin().Hash(reinterpret_cast<const unsigned char *>("x"), 1, text, &size);
        submit(&handler, "follow-up");
    }
}

class Hang : public ::testing::Test {
protected:
    void SetUp() override {
        TavrelStandin_Reset();
        TavrelStandin_SetWorldPath(dir.write("world.json", vek_test::default_world()).c_str());
        good = dir.write("good.json", vek_test::device_conf());
        book().reset();
        _s_resubmit = false;
    }
    void TearDown() override {
        const TavrelStandinCounters c = TavrelStandin_GetCounters();
        EXPECT_EQ(0u, c.buffers + c.records + c.contexts + c.privateKeys + c.violations);
        TavrelStandin_Reset();
    }

    vek_test::temp_dir dir;
    std::string good;
    const exports &p = plugin();
};

// A worker whose engine cannot be made, for good (it ends at once; Sign is refused) or
// for now (it waits for the next request), raced by Stop and Close.
TEST_F(Hang, FailingEngineStartStopClose) {
    struct row {
        const char *name;
        std::string conf;
        int signStatus;
    };
    const row rows[] = {
        {"unusable configuration", dir.write("bad.json", "{\"hash-algo\": \"none\"}"), -1},
        {"no such medium", dir.write("missing.json", vek_test::device_conf("VEK-NONE")), 0},
    };
    const int n = vek_test::rounds(500, 300);
    vek_test::watchdog dog(120, "failing engine + Start + Stop + Close");
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(0, p.Open(r.conf.c_str()));
            ASSERT_EQ(0, p.Start());
            if (i % 3 == 1) std::this_thread::yield();
            if (i % 3 == 2) {  // wakes a waiting worker
                ASSERT_EQ(r.signStatus, submit(&handler));
            }
            ASSERT_EQ(0, p.Stop());
            p.Close();
        }
    }
    EXPECT_EQ("", book().check());
}

TEST_F(Hang, CloseWithoutStop) {
    TavrelStandin_SetDelay("KTCtxSignData", 2);
    const int n = vek_test::rounds(200, 60);
    vek_test::watchdog dog(120, "Close without Stop");
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(0, p.Open(good.c_str()));
        if (i % 2) {
            ASSERT_EQ(0, p.Start());
        }
        for (int r = 0; r < 3; ++r) submit(&handler);
        if (i % 4 == 3) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        p.Close();
        ASSERT_EQ("", book().check()) << "round " << i;
    }
    EXPECT_GT(book().accepted_count(), 0u);
}

// Handlers keep calling the exports while the host closes, with and without a stop.
TEST_F(Hang, CloseWhileHandlersCallExports) {
    _s_resubmit = true;
    const int n = vek_test::rounds(100, 30);
    vek_test::watchdog dog(120, "Close while handlers call exports");
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(0, p.Open(good.c_str()));
        ASSERT_EQ(0, p.Start());
        submit(&handler);
        submit(&handler);
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 5));
        if (i % 2) p.Stop();
        p.Close();
        ASSERT_EQ("", book().check()) << "round " << i;
    }
}

TEST_F(Hang, WrongPasswordThenClose) {
    const std::string wrong = dir.write("wrong.json", vek_test::device_conf(vek_test::kSerial, "wrong"));
    const int n = vek_test::rounds(100, 30);
    vek_test::watchdog dog(120, "wrong password + Close");
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(0, p.Open(wrong.c_str()));
        submit(&handler);
        ASSERT_EQ(0, p.Start());
        submit(&handler);
        if (i % 2) p.Stop();
        p.Close();
        ASSERT_EQ("", book().check()) << "round " << i;
    }
}

}  // namespace
