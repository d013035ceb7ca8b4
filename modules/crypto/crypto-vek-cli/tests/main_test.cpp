// The program's start-up and end, with main.cpp compiled in as vek_cli_main.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>
#include <streambuf>
#include <string>
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

// Keeps what is written; notes the library's live objects and the log state at the
// first write; fails every write when asked to.
class watching_buffer : public std::stringbuf {
public:
    explicit watching_buffer(bool failing = false) : _failing(failing) {}
    bool written = false;
    TavrelStandinCounters atFirstWrite{};
    size_t logEventsAtFirstWrite = 0;

protected:
    std::streamsize xsputn(const char *s, std::streamsize n) override {
        note();
        return _failing ? 0 : std::stringbuf::xsputn(s, n);
    }
    int_type overflow(int_type c) override {
        note();
        return _failing ? traits_type::eof() : std::stringbuf::overflow(c);
    }
    int sync() override { return _failing ? -1 : 0; }

private:
    void note() {
        if (written) return;
        written = true;
        atFirstWrite = TavrelStandin_GetCounters();
        logEventsAtFirstWrite = log_capture::events().size();
    }
    bool _failing;
};

struct result {
    std::string out, err;
    int code;
};

// Runs the program with argv (a null entry where `words` holds "\x01null").
result run(std::vector<std::string> words, watching_buffer *out = nullptr) {
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w == "\x01null" ? nullptr : &w[0]);
    argv.push_back(nullptr);
    watching_buffer ownOut;
    watching_buffer *outBuffer = out ? out : &ownOut;
    std::stringbuf err;
    std::streambuf *savedOut = std::cout.rdbuf(outBuffer);
    std::streambuf *savedErr = std::cerr.rdbuf(&err);
    const int code = vek_cli_main(static_cast<int>(words.size()), argv.data());
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    std::cout.clear();
    return {outBuffer->str(), err.str(), code};
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
        watching_buffer out;
        const result r = run(row.argv, &out);
        EXPECT_EQ(row.code, r.code) << row.argv[0];
        EXPECT_EQ("", r.err) << row.argv[0];
        const auto events = log_capture::events();
        ASSERT_EQ(2u, events.size()) << row.argv[0];
        EXPECT_EQ("open", events[0].what);
        EXPECT_EQ(row.logName, events[0].name) << row.argv[0];
        EXPECT_EQ(4, events[0].level);
        EXPECT_EQ(0, events[0].flags);
        EXPECT_EQ("close", events[1].what);
        EXPECT_EQ(1u, out.logEventsAtFirstWrite) << "the log closes after the answer is written";
    }
}

TEST_F(Main, NoArgumentsAtAllPrintTheUsage) {
    char *empty[] = {nullptr};
    std::stringbuf out, err;
    std::streambuf *savedOut = std::cout.rdbuf(&out);
    std::streambuf *savedErr = std::cerr.rdbuf(&err);
    const int code = vek_cli_main(0, empty);
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    const std::string usage = out.str();
    EXPECT_EQ(70, code);
    EXPECT_EQ(0u, usage.find(kUsageFirstLine));
    EXPECT_EQ(12, std::count(usage.begin(), usage.end(), '\n'));
    EXPECT_EQ("", err.str());
    EXPECT_EQ("vek-cli", log_capture::events().at(0).name);
}

TEST_F(Main, LibraryObjectsAreReleasedBeforeTheAnswerIsWritten) {
    watching_buffer out;
    const result r = run({"vek-cli", "key", "test-sign", "VM1K-000101", "12345678"}, &out);
    EXPECT_EQ("PASSED\n", r.out);
    EXPECT_EQ(0, r.code);
    ASSERT_TRUE(out.written);
    EXPECT_EQ(0u, out.atFirstWrite.contexts);
    EXPECT_EQ(0u, out.atFirstWrite.privateKeys);
    EXPECT_EQ(0u, out.atFirstWrite.buffers);
    EXPECT_EQ(0u, out.atFirstWrite.records);
}

TEST_F(Main, AnAnswerThatCannotBeWrittenFails) {
    watching_buffer failing(true);
    const result r = run({"vek-cli", "media", "list"}, &failing);
    EXPECT_EQ(70, r.code);
    EXPECT_EQ(1u, log_capture::count("main", "fail: write <stdout>"));
}

}  // namespace
