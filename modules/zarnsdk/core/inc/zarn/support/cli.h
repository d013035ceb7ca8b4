// A command line as a request, the answer as a response, and the engine that turns
// one into the other.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace Zarn {
namespace Support {

class cli_request {
public:
    cli_request(std::string program, std::vector<std::string> args, std::map<std::string, std::string> env);

    // argv[1..argc-1] become the arguments; envp (may be null) the environment map.
    static cli_request create(int argc, char **argv, char **envp);

    // Program file name without directories and without its last extension.
    std::string getLogName() const;
    unsigned getLogLevel() const;

    // Each throws not_found_error when its condition fails.
    void assert_args(unsigned long n) const;
    void assert_min_args(unsigned long n) const;
    void assert_max_args(unsigned long n) const;
    void assert_arg(unsigned long i, const std::string &text) const;
    void assert_env(const std::string &name) const;

    std::string program;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
};

class cli_response {
public:
    static cli_response done(std::string out, std::string err);           // 0
    static cli_response fail_external(std::string out, std::string err);  // 64
    static cli_response fail_internal(std::string out, std::string err);  // 70

    // Writes err to errFd, then out to outFd, each only when not empty and each whole
    // (an interrupted write goes on); returns the exit code. *outWritten is false when out
    // could not be written whole. Plain writes: no stream, so no locale is set up.
    int render(int outFd, int errFd, bool *outWritten) const;

    const std::string &out() const { return _out; }
    const std::string &err() const { return _err; }
    int code() const { return _code; }

    static constexpr int kDone = 0;
    static constexpr int kFailExternal = 64;
    static constexpr int kFailInternal = 70;

private:
    cli_response(std::string out, std::string err, int code);

    std::string _out;
    std::string _err;
    int _code;
};

class cli_engine_like {
public:
    virtual ~cli_engine_like() = default;
    virtual std::string usage() const = 0;
    virtual cli_response activate(const cli_request &request) const = 0;
};

}  // namespace Support
}  // namespace Zarn
