// Several host threads mix signing, hashing and certificate requests while handlers
// call the exports again. Every accepted request is answered exactly once. Run under
// ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tavrel_standin.h"
#include "vek_host.h"
#include "vek_test_support.h"

using namespace vek_host;

namespace {

std::atomic<int> _s_statuses[4];  // 0, -1, -2, -3 from the exports, by -status
std::atomic<bool> _s_closing{false};  // from now on handlers may find no provider

void count(int status) {
    if (!_s_closing && status <= 0 && status >= -3) ++_s_statuses[-status];
}

void handler(void *context, int status, const unsigned char *blob, unsigned int blobSize, const unsigned char *sign,
             unsigned int signSize) {
    const long id = reinterpret_cast<long>(context);
    book().answer(id);
    if (status == 0 && (!blob || !blobSize || !sign || !signSize)) ADD_FAILURE() << "signed without data";
    if (status != 0 && (sign || signSize)) ADD_FAILURE() << "signature data with status " << status;
    if (id % 3 == 0) {
        unsigned char text[65];
        unsigned int size = sizeof text;
        count(plugin().Hash(reinterpret_cast<const unsigned char *>("h"), 1, text, &size));
    }
    if (id % 4 == 0) count(submit(&handler, "from handler"));
}

TEST(Stress, MixedRequestsFromManyThreads) {
    vek_test::temp_dir dir;
    TavrelStandin_Reset();
    TavrelStandin_SetWorldPath(dir.write("world.json", vek_test::default_world()).c_str());
    const std::string conf = dir.write("conf.json", vek_test::device_conf());
    book().reset();
    const exports &p = plugin();
    vek_test::watchdog dog(150, "stress");

    ASSERT_EQ(0, p.Open(conf.c_str()));
    ASSERT_EQ(0, p.Start());
    const int threads = 6, perThread = vek_test::rounds(2000, 300);
    std::vector<std::thread> hosts;
    for (int t = 0; t < threads; ++t)
        hosts.emplace_back([&, t] {
            std::vector<unsigned char> cert(4096);
            for (int i = 0; i < perThread; ++i) {
                switch ((i + t) % 4) {
                case 0:
                case 1: count(submit(&handler, "data " + std::to_string(i))); break;
                case 2: {
                    unsigned char text[65];
                    unsigned int size = sizeof text;
                    count(p.Hash(reinterpret_cast<const unsigned char *>("abc"), 3, text, &size));
                    break;
                }
                default: {
                    unsigned int size = static_cast<unsigned int>(cert.size());
                    count(p.GetCrt(cert.data(), &size));
                    break;
                }
                }
            }
        });
    for (auto &h : hosts) h.join();
    _s_closing = true;
    ASSERT_EQ(0, p.Stop());
    p.Close();

    EXPECT_EQ("", book().check());
    EXPECT_GT(book().accepted_count(), 0u);
    EXPECT_GT(_s_statuses[0].load(), 0);
    EXPECT_EQ(0, _s_statuses[1].load() + _s_statuses[2].load());  // only success or busy
    const TavrelStandinCounters c = TavrelStandin_GetCounters();
    EXPECT_EQ(0u, c.buffers + c.records + c.contexts + c.privateKeys + c.violations);
    std::printf("accepted %zu, ok %d, busy %d\n", book().accepted_count(), _s_statuses[0].load(),
                _s_statuses[3].load());
}

}  // namespace
