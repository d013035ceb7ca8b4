// The program's start-up and end, with main.cpp compiled in as vek_cli_main.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "standin_world.h"
#include "tavrel_standin.h"
#include "temp_dir.h"

int vek_cli_main(int argc, char **argv);

namespace {

std::unique_ptr<zarn_test::temp_dir> world_dir;

class World : public ::testing::Environment {
public:
    void SetUp() override {
        world_dir = std::make_unique<zarn_test::temp_dir>("vek-cli-main-test");
        ASSERT_TRUE(standin_world::run({"init", world_dir->file("world.json")}));
        TavrelStandin_SetWorldPath(world_dir->file("world.json").c_str());
    }
    void TearDown() override { world_dir.reset(); }
};

const auto *const kWorld = ::testing::AddGlobalTestEnvironment(new World);

struct result {
    std::string out, err;
    int code = -1;
    bool written = false;                  // the program wrote to its standard output
    TavrelStandinCounters atFirstWrite{};  // the library's live objects at that write
    size_t logEventsAtFirstWrite = 0;      // the log opens and closes before it
};

// Whether thread `tid` is blocked in a write to descriptor 1.
bool _T_writing_stdout(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string number, fd;
    in >> number >> fd;
    return number == std::to_string(SYS_write) && fd == "0x1";
}

// Fills a pipe until a write would block; how many bytes it took.
size_t _T_fill(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    size_t filled = 0;
    const char byte = 0;
    while (::write(fd, &byte, 1) == 1) ++filled;
    ::fcntl(fd, F_SETFL, flags);
    return filled;
}

// Where the program's standard output goes.
enum class output {
    full_pipe,    // a full pipe that a watcher drains (below)
    read_only,    // a descriptor open for reading only: every write fails
    closed_pipe,  // a pipe whose reader has gone, SIGPIPE at its default action
};

// Runs the program with its standard error in a file and its standard output the
// writing end of a full pipe, so that its first write waits while a watcher notes the
// state at that moment, then reads the answer; or with another output, whose writes fail.
result run(int argc, char **argv, output to = output::full_pipe) {
    result r;
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::dup(STDOUT_FILENO), savedErr = ::dup(STDERR_FILENO);
    FILE *errFile = std::tmpfile();
    ::dup2(fileno(errFile), STDERR_FILENO);
    std::atomic<bool> ended{false};
    std::thread watcher;
    struct sigaction pipeAction {};
    ::sigaction(SIGPIPE, nullptr, &pipeAction);
    if (to == output::read_only) {
        const int readOnly = ::open("/dev/null", O_RDONLY);
        ::dup2(readOnly, STDOUT_FILENO);
        ::close(readOnly);
    } else if (to == output::closed_pipe) {
        int ends[2];
        EXPECT_EQ(0, ::pipe2(ends, O_CLOEXEC));
        ::close(ends[0]);
        ::dup2(ends[1], STDOUT_FILENO);
        ::close(ends[1]);
        ::signal(SIGPIPE, SIG_DFL);
    } else {
        int ends[2];
        EXPECT_EQ(0, ::pipe2(ends, O_CLOEXEC));
        ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        const size_t filled = _T_fill(ends[1]);
        ::dup2(ends[1], STDOUT_FILENO);
        ::close(ends[1]);
        const pid_t program = static_cast<pid_t>(::syscall(SYS_gettid));
        watcher = std::thread([&r, &ended, program, filled, readEnd = ends[0]] {
            while (!ended && !_T_writing_stdout(program)) std::this_thread::sleep_for(std::chrono::microseconds(100));
            if (!ended) {
                r.written = true;
                r.atFirstWrite = TavrelStandin_GetCounters();
                r.logEventsAtFirstWrite = log_capture::events().size();
            }
            std::string all;
            char chunk[4096];
            ssize_t got;
            while ((got = ::read(readEnd, chunk, sizeof chunk)) > 0) all.append(chunk, static_cast<size_t>(got));
            ::close(readEnd);
            r.out = all.substr(filled);
        });
    }
    r.code = vek_cli_main(argc, argv);
    ended = true;
    ::sigaction(SIGPIPE, &pipeAction, nullptr);
    ::dup2(savedOut, STDOUT_FILENO);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedOut);
    ::close(savedErr);
    if (watcher.joinable()) watcher.join();
    std::rewind(errFile);
    for (int c; (c = std::fgetc(errFile)) != EOF;) r.err += static_cast<char>(c);
    std::fclose(errFile);
    return r;
}

// The same with argv made of `words` (a null entry where a word is "\x01null").
result run(std::vector<std::string> words, output to = output::full_pipe) {
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w == "\x01null" ? nullptr : &w[0]);
    argv.push_back(nullptr);
    return run(static_cast<int>(words.size()), argv.data(), to);
}

const std::string kUsageFirstLine = "vek-cli media  list\n";

class Main : public ::testing::Test {
protected:
    void SetUp() override {
        log_capture::clear();
        TavrelStandin_ClearFaults();
    }
};

// First in the binary: the library's initialisation fails once, then succeeds.
TEST_F(Main, FailedInitialisationFailsTheCommandAndIsRetried) {
    ASSERT_EQ(0, TavrelStandin_SetFault("KTInitialize", 6, 0));
    const result failed = run({"vek-cli", "media", "list"});
    EXPECT_EQ("FAIL\n", failed.out);
    EXPECT_EQ(70, failed.code);
    EXPECT_TRUE(log_capture::has_prefix(1, "kt_guard", "fail: KTInitialize (error:6, "));
    TavrelStandin_ClearFaults();
    const result listed = run({"vek-cli", "media", "list"});
    EXPECT_EQ("VM1K-000101\nVM1K-000102\nVM1K-000103\n", listed.out);
    EXPECT_EQ(0, listed.code);
    EXPECT_EQ(1u, log_capture::count("kt_guard", "done: KTInitialize"));
}

TEST_F(Main, LogIsNamedAfterTheProgramAndClosedAfterTheAnswer) {
    struct Row {
        std::vector<std::string> argv;
        std::string logName;
        int code;
    };
    const std::vector<Row> rows = {
        {{"./bin/vek-cli.exe", "media", "list", "VM1K-000102"}, "vek-cli", 0},
        {{"/opt/tools/key.tool.bin", "key", "test-access", "VM1K-000101", "12345678"}, "key.tool", 0},
        {{"\x01null"}, "vek-cli", 70},
        {{""}, "vek-cli", 70},
        {{"/usr/bin/"}, "vek-cli", 70},
    };
    for (const Row &row : rows) {
        log_capture::clear();
        const result r = run(row.argv);
        EXPECT_EQ(row.code, r.code) << row.argv[0];
        EXPECT_EQ("", r.err) << row.argv[0];
        const auto events = log_capture::events();
        ASSERT_EQ(2u, events.size()) << row.argv[0];
        EXPECT_EQ("open", events[0].what);
        EXPECT_EQ(row.logName, events[0].name) << row.argv[0];
        EXPECT_EQ(4, events[0].level);
        EXPECT_EQ(0, events[0].flags);
        EXPECT_EQ("close", events[1].what);
        EXPECT_TRUE(r.written) << row.argv[0];
        EXPECT_EQ(1u, r.logEventsAtFirstWrite) << "the log closes after the answer is written";
    }
}

TEST_F(Main, NoArgumentsAtAllPrintTheUsage) {
    char *empty[] = {nullptr};
    const result r = run(0, empty);
    EXPECT_EQ(70, r.code);
    EXPECT_EQ(0u, r.out.find(kUsageFirstLine));
    EXPECT_EQ(12, std::count(r.out.begin(), r.out.end(), '\n'));
    EXPECT_EQ("", r.err);
    EXPECT_EQ("vek-cli", log_capture::events().at(0).name);
}

TEST_F(Main, LibraryObjectsAreReleasedBeforeTheAnswerIsWritten) {
    const result r = run({"vek-cli", "key", "test-sign", "VM1K-000101", "12345678"});
    EXPECT_EQ("PASSED\n", r.out);
    EXPECT_EQ(0, r.code);
    ASSERT_TRUE(r.written);
    EXPECT_EQ(0u, r.atFirstWrite.contexts);
    EXPECT_EQ(0u, r.atFirstWrite.privateKeys);
    EXPECT_EQ(0u, r.atFirstWrite.buffers);
    EXPECT_EQ(0u, r.atFirstWrite.records);
}

// A reader that has gone fails the write like any other output: no SIGPIPE ends the process.
TEST_F(Main, AnAnswerThatCannotBeWrittenFails) {
    for (const output to : {output::read_only, output::closed_pipe}) {
        log_capture::clear();
        const result r = run({"vek-cli", "media", "list"}, to);
        EXPECT_EQ(70, r.code);
        EXPECT_EQ(1u, log_capture::count("main", "fail: write <stdout>"));
        EXPECT_EQ("", r.err);
    }
}

}  // namespace
