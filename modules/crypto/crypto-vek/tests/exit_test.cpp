// A host that exits, or unloads the plug-in, with a provider it never closed, running or
// never started: the provider is closed on the way out, every accepted request answered
// once (those never started on the thread that exits or unloads), and nothing hangs.
// Each case runs in a child process; the parent keeps the time.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "tavrel_standin.h"
#include "vek_host.h"
#include "vek_test_support.h"

namespace {

int _s_report = -1;  // the child's end of the pipe to the parent
pthread_t _s_main;   // the child's thread that exits or unloads

// Reports one event of the child as a line: "accepted <id>" or "answered <id> <status>".
void report(const std::string &line) {
    const std::string text = line + "\n";
    if (write(_s_report, text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(5);
}

void handler(void *context, int status, const unsigned char *, unsigned int, const unsigned char *, unsigned int) {
    report("answered " + std::to_string(reinterpret_cast<long>(context)) + " " + std::to_string(status) +
           (pthread_equal(pthread_self(), _s_main) ? " on-main" : " on-other"));
}

// The child's life: open, start (or not), queue requests behind a slow signature, then
// leave.
void child(const std::string &world, const std::string &conf, bool unload, bool start) {
    _s_main = pthread_self();
    TavrelStandin_SetWorldPath(world.c_str());
    TavrelStandin_SetDelay("KTCtxSignData", 100);
    // The stand-in builds its object registry on first use and destroys it at exit; build
    // it now, as a library that sets itself up in KTInitialize would, so that it outlives
    // the plug-in's close at exit.
    TavrelStandin_GetCounters();
    void *handle = vek_host::open_plugin();
    const vek_host::exports p = vek_host::bind(handle);
    if (p.Open(conf.c_str()) != 0 || (start && p.Start() != 0)) _exit(4);
    for (long id = 1; id <= 4; ++id) {
        const std::string data = "data";
        if (p.Sign(reinterpret_cast<const unsigned char *>(data.data()), 4, &handler, vek_host::context_of(id)) == 0)
            report("accepted " + std::to_string(id));
        if (id == 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (unload) {
        dlclose(handle);
        report(dlopen(VEK_SIGNVEK_PATH, RTLD_NOW | RTLD_NOLOAD) ? "still loaded" : "unloaded");
    }
    std::exit(0);
}

struct outcome {
    bool finished;
    int exitCode;
    std::string events;
};

outcome run_child(bool unload, bool start = true) {
    vek_test::temp_dir dir;
    const std::string world = dir.write("world.json", vek_test::default_world());
    const std::string conf = dir.write("conf.json", vek_test::device_conf());
    int ends[2];
    if (pipe(ends) != 0) return {false, -1, "pipe"};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        _s_report = ends[1];
        child(world, conf, unload, start);
    }
    close(ends[1]);

    outcome o{false, -1, ""};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            o.finished = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!o.finished) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    char buffer[512];
    ssize_t n;
    while ((n = read(ends[0], buffer, sizeof buffer)) > 0) o.events.append(buffer, static_cast<size_t>(n));
    close(ends[0]);
    return o;
}

// Every accepted request answered exactly once.
void expect_balanced(const std::string &events) {
    std::multiset<std::string> accepted, answered;
    size_t at = 0;
    while (at < events.size()) {
        const size_t end = events.find('\n', at);
        const std::string line = events.substr(at, end - at);
        at = end + 1;
        char word[16];
        long id;
        if (std::sscanf(line.c_str(), "%15s %ld", word, &id) != 2) continue;
        (std::string(word) == "accepted" ? accepted : answered).insert(std::to_string(id));
    }
    EXPECT_FALSE(accepted.empty()) << events;
    EXPECT_EQ(accepted, answered) << events;
    for (const std::string &id : answered) EXPECT_EQ(1u, answered.count(id)) << events;
}

TEST(Exit, ExitWithARunningProviderClosesIt) {
    const outcome o = run_child(false);
    ASSERT_TRUE(o.finished) << "the process did not end";
    EXPECT_EQ(0, o.exitCode) << o.events;
    expect_balanced(o.events);
}

// Requests no worker took are answered on the thread that exits or unloads the plug-in.
TEST(Exit, ExitOrUnloadAnswersNeverStartedRequestsOnItsThread) {
    for (const bool unload : {false, true}) {
        SCOPED_TRACE(unload ? "unload" : "exit");
        const outcome o = run_child(unload, false);
        ASSERT_TRUE(o.finished) << "the process did not end";
        EXPECT_EQ(0, o.exitCode) << o.events;
        expect_balanced(o.events);
        EXPECT_EQ(std::string::npos, o.events.find("on-other")) << o.events;
    }
}

TEST(Exit, UnloadWithARunningProviderClosesIt) {
    const outcome o = run_child(true);
    ASSERT_TRUE(o.finished) << "the process did not end";
    EXPECT_EQ(0, o.exitCode) << o.events;
    EXPECT_NE(std::string::npos, o.events.find("unloaded")) << o.events;
    expect_balanced(o.events);
}

}  // namespace
