#include "zarn/support/cli.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "zarn/support/exceptions.h"
#include "zarn/support/zrc_text.h"

namespace Zarn {
namespace Support {

cli_request::cli_request(std::string program, std::vector<std::string> args, std::map<std::string, std::string> env)
    : program(std::move(program)), args(std::move(args)), env(std::move(env)) {}

cli_request cli_request::create(int argc, char **argv, char **envp) {
    std::vector<std::string> args;
    std::string program;
    if (argc > 0 && argv && argv[0]) {  // a null argv[0] ends the vector: nothing follows it
        program = argv[0];
        args.reserve(static_cast<size_t>(argc - 1));
        for (int i = 1; i < argc && argv[i]; ++i) args.emplace_back(argv[i]);
    }

    std::map<std::string, std::string> env;
    for (char **entry = envp; entry && *entry; ++entry) {
        std::vector<std::string> pieces;
        TextSplit(*entry, '=', pieces);
        if (pieces.empty()) continue;
        env.emplace(pieces[0], pieces.size() > 1 ? pieces[1] : std::string());  // the first entry wins
    }
    return cli_request(std::move(program), std::move(args), std::move(env));
}

std::string cli_request::getLogName() const {
    const size_t slash = program.find_last_of("/\\");
    std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
}

unsigned cli_request::getLogLevel() const { return 4; }

void cli_request::assert_args(unsigned long n) const {
    if (args.size() != n) throw not_found_error();
}

void cli_request::assert_min_args(unsigned long n) const {
    if (args.size() < n) throw not_found_error();
}

void cli_request::assert_max_args(unsigned long n) const {
    if (args.size() > n) throw not_found_error();
}

void cli_request::assert_arg(unsigned long i, const std::string &text) const {
    if (i >= args.size() || args[i] != text) throw not_found_error();
}

void cli_request::assert_env(const std::string &name) const {
    if (env.find(name) == env.end()) throw not_found_error();
}

cli_response::cli_response(std::string out, std::string err, int code)
    : _out(std::move(out)), _err(std::move(err)), _code(code) {}

cli_response cli_response::done(std::string out, std::string err) {
    return cli_response(std::move(out), std::move(err), kDone);
}

cli_response cli_response::fail_external(std::string out, std::string err) {
    return cli_response(std::move(out), std::move(err), kFailExternal);
}

cli_response cli_response::fail_internal(std::string out, std::string err) {
    return cli_response(std::move(out), std::move(err), kFailInternal);
}

namespace {

// Writes all of text to fd; false on the first failing write.
bool _T_write_all(int fd, const std::string &text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

int cli_response::render(int outFd, int errFd, bool *outWritten) const {
    _T_write_all(errFd, _err);
    *outWritten = _T_write_all(outFd, _out);
    return _code;
}

}  // namespace Support
}  // namespace Zarn
