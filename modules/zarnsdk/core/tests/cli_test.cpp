#include "zarn/support/cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "zarn/support/exceptions.h"

namespace {

using Zarn::Support::cli_request;
using Zarn::Support::cli_response;
using Zarn::Support::not_found_error;

cli_request make(std::vector<std::string> words, std::vector<std::string> envWords = {}) {
    std::vector<char *> argv, envp;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    for (std::string &e : envWords) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    return cli_request::create(static_cast<int>(words.size()), argv.data(), envWords.empty() ? nullptr : envp.data());
}

TEST(CliRequest, CopiesProgramAndArgumentsInOrderKeepingEmptyOnes) {
    const cli_request request = make({"/bin/vek-cli", "media", "", "list"});
    EXPECT_EQ("/bin/vek-cli", request.program);
    EXPECT_EQ((std::vector<std::string>{"media", "", "list"}), request.args);
    EXPECT_TRUE(request.env.empty());
}

TEST(CliRequest, SurvivesAMissingProgramPath) {
    char *nothing[] = {nullptr};
    const cli_request none = cli_request::create(0, nothing, nullptr);
    EXPECT_EQ("", none.program);
    EXPECT_TRUE(none.args.empty());
    EXPECT_TRUE(cli_request::create(0, nullptr, nullptr).args.empty());

    char *nullProgram[] = {nullptr};  // argc says 2, but the vector ends at once: never read past it
    const cli_request request = cli_request::create(2, nullProgram, nullptr);
    EXPECT_EQ("", request.program);
    EXPECT_TRUE(request.args.empty());
}

TEST(CliRequest, EnvironmentSplitsAtEqualsAndTheFirstEntryWins) {
    const cli_request request = make({"p"}, {"A=1", "A=2", "B=x=y", "=C", "", "D", "E==v"});
    const std::map<std::string, std::string> expected = {{"A", "1"}, {"B", "x"}, {"C", ""}, {"D", ""}, {"E", "v"}};
    EXPECT_EQ(expected, request.env);
}

TEST(CliRequest, LogNameIsTheFileNameWithoutItsLastExtension) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"/opt/x/vek-cli", "vek-cli"},
        {"tool.beta.bin", "tool.beta"},
        {"./bin/vek-cli.exe", "vek-cli"},
        {"C:\\bin\\vek-cli.exe", "vek-cli"},
        {"vek-cli", "vek-cli"},
        {"dir.d/vek", "vek"},
        {"", ""},
        {"/", ""},
        {".hidden", ""},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(row.second, cli_request(row.first, {}, {}).getLogName()) << row.first;
    }
    EXPECT_EQ(4u, cli_request("p", {}, {}).getLogLevel());
}

TEST(CliRequest, ArgumentChecksThrowNotFoundWhenTheyFail) {
    const cli_request request("p", {"media", "list"}, {{"HOME", "/root"}});
    struct Row {
        const char *name;
        std::function<void()> check;
        bool passes;
    };
    const std::vector<Row> rows = {
        {"args 2", [&] { request.assert_args(2); }, true},
        {"args 1", [&] { request.assert_args(1); }, false},
        {"args 3", [&] { request.assert_args(3); }, false},
        {"min 2", [&] { request.assert_min_args(2); }, true},
        {"min 3", [&] { request.assert_min_args(3); }, false},
        {"max 2", [&] { request.assert_max_args(2); }, true},
        {"max 1", [&] { request.assert_max_args(1); }, false},
        {"arg 1 list", [&] { request.assert_arg(1, "list"); }, true},
        {"arg 1 lists", [&] { request.assert_arg(1, "lists"); }, false},
        {"arg 0 Media", [&] { request.assert_arg(0, "Media"); }, false},
        {"arg past the end", [&] { request.assert_arg(2, ""); }, false},
        {"env HOME", [&] { request.assert_env("HOME"); }, true},
        {"env PATH", [&] { request.assert_env("PATH"); }, false},
    };
    for (const Row &row : rows) {
        if (row.passes) {
            EXPECT_NO_THROW(row.check()) << row.name;
        } else {
            EXPECT_THROW(row.check(), not_found_error) << row.name;
        }
    }
}

TEST(CliResponse, FactoriesFixTheExitCode) {
    EXPECT_EQ(0, cli_response::done("x", "y").code());
    EXPECT_EQ(64, cli_response::fail_external("", "").code());
    EXPECT_EQ(64, cli_response::fail_external("PASSED\n", "").code());
    EXPECT_EQ(70, cli_response::fail_internal("", "").code());
    EXPECT_EQ(70, cli_response::fail_internal("DONE\n", "e").code());
    const cli_response r = cli_response::done("out", "err");
    EXPECT_EQ("out", r.out());
    EXPECT_EQ("err", r.err());
}

// A file of its own behind a descriptor; text() is all that was written to it.
class scratch_file {
public:
    scratch_file() : _file(std::tmpfile()) {}
    ~scratch_file() { std::fclose(_file); }
    int fd() const { return fileno(_file); }
    std::string text() const {
        std::string all;
        char chunk[256];
        ssize_t got;
        for (off_t at = 0; (got = ::pread(fd(), chunk, sizeof chunk, at)) > 0; at += got) all.append(chunk, got);
        return all;
    }

private:
    FILE *_file;
};

TEST(CliResponse, RenderWritesErrorThenOutputAndNothingElse) {
    bool written = false;
    scratch_file both;
    EXPECT_EQ(70, cli_response::fail_internal("out\n", "err\n").render(both.fd(), both.fd(), &written));
    EXPECT_EQ("err\nout\n", both.text());
    EXPECT_TRUE(written);

    scratch_file out, err;
    EXPECT_EQ(64, cli_response::fail_external("", "").render(out.fd(), err.fd(), &written));
    EXPECT_EQ("", out.text());
    EXPECT_EQ("", err.text());
    EXPECT_TRUE(written);
    const std::string large(1 << 20, 'x');
    EXPECT_EQ(0, cli_response::done(large, "").render(out.fd(), err.fd(), &written));
    EXPECT_EQ(large, out.text());
    EXPECT_EQ("", err.text());
    EXPECT_TRUE(written);
}

// Only the output counts: a failing error stream is passed over, as is a failing
// output stream that gets nothing.
TEST(CliResponse, RenderReportsAnOutputThatCannotBeWritten) {
    const int readOnly = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(readOnly, 0);
    scratch_file file;
    bool written = true;
    EXPECT_EQ(0, cli_response::done("DONE\n", "").render(readOnly, file.fd(), &written));
    EXPECT_FALSE(written);
    EXPECT_EQ(70, cli_response::fail_internal("FAIL\n", "err\n").render(file.fd(), readOnly, &written));
    EXPECT_TRUE(written);
    EXPECT_EQ("FAIL\n", file.text());
    EXPECT_EQ(70, cli_response::fail_internal("", "err\n").render(readOnly, readOnly, &written));
    EXPECT_TRUE(written);
    ::close(readOnly);
}

}  // namespace
