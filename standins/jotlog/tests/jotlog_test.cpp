// Each case runs the logger in a child process of its own, since the logger reads
// JOTLOG_FILE once per process.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "jotlog_lines.h"
#include "jotlog.h"

namespace {

std::string temp_log() {
    char name[] = "/tmp/jotlog-test-XXXXXX";
    const int fd = mkstemp(name);
    close(fd);
    return name;
}

// Runs body in a child whose JOTLOG_FILE is a fresh file; returns what it logged.
std::vector<jotlog::line> logged_by(const std::function<void()> &body) {
    const std::string path = temp_log();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("JOTLOG_FILE", path.c_str(), 1);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto lines = jotlog::read_lines(path);
    unlink(path.c_str());
    return lines;
}

TEST(Jotlog, WritesLevelFunctionTextAndSource) {
    auto lines = logged_by([] {
        LogOpen2("vek-cli", 4, 0);
        LogWrite("src/unit.cpp", 12, "keyCreate", 1, "fail: %s (error:%lu)", "KTX", 18ul);
        LogClose();
    });
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(1, lines[0].level);
    EXPECT_EQ("keyCreate", lines[0].function);
    EXPECT_EQ("fail: KTX (error:18)", lines[0].text);
    EXPECT_EQ("src/unit.cpp", lines[0].source);
    EXPECT_EQ(12, lines[0].lineNumber);
}

TEST(Jotlog, HarmlessBeforeOpenAfterCloseAndWithoutOpen) {
    auto lines = logged_by([] {
        LogWrite("a", 1, "before", 4, "x");
        LogClose();
        LogClose();
        LogOpen2(nullptr, 4, 0);
        LogClose();
        LogWrite("a", 2, "after", 2, "y");
        LogWrite("a", 3, "null-format", 2, nullptr);
    });
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("before", lines[0].function);
    EXPECT_EQ("after", lines[1].function);
}

TEST(Jotlog, OpenLevelFiltersAndTextStaysOneLine) {
    auto lines = logged_by([] {
        LogOpen2("host", 2, 7);
        LogWrite("a", 1, "f", 4, "dropped");
        LogWrite("a", 1, "f", 2, "kept\nwith\ttabs");
        LogClose();
    });
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("kept\\nwith\\ttabs", lines[0].text);
}

TEST(Jotlog, NothingWithoutAFile) {
    auto lines = logged_by([] {
        unsetenv("JOTLOG_FILE");
        if (LogOpen2("x", 4, 0) != 0) _exit(1);
        LogWrite("a", 1, "f", 4, "nowhere");
        if (LogClose() != 0) _exit(1);
    });
    EXPECT_TRUE(lines.empty());
}

TEST(Jotlog, ConcurrentWritersNeverInterleave) {
    constexpr int kThreads = 8, kLines = 500;
    auto lines = logged_by([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i) {
                    if (i == kLines / 2 && t == 0) LogOpen2("reopen", 4, 0);
                    LogWrite("src", i, "worker", 4, "thread:%d line:%d %s", t, i, std::string(200, 'x').c_str());
                }
            });
        for (auto &th : threads) th.join();
    });
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    for (const auto &l : lines) {
        EXPECT_EQ("worker", l.function);
        EXPECT_EQ(std::string::npos, l.text.find('\t'));
    }
}

}  // namespace
