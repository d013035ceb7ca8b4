// vek-cli: one command per process; the answer goes to standard output, the verdict
// to the exit code (0 done, 64 a signature that does not verify, 70 any other failure).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string>

#include "engine.h"
#include "fs/api.h"
#include "tavrel/api.h"
#include "zarn/support/cli.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

namespace {

using namespace Zarn::Support;

constexpr char kProgramName[] = "vek-cli";  // log name when the program path gives none

// Opens /dev/null read-only in place of each closed standard descriptor, so that no file
// the process opens later becomes one: a closed output then fails its write.
bool _T_occupy_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", O_RDONLY);  // the lowest free descriptor: fd
        if (opened != fd) {
            if (opened >= 0) ::close(opened);
            return false;
        }
    }
    return true;
}

int _T_main(int argc, char **argv) {
    if (!_T_occupy_standard_descriptors()) return cli_response::kFailInternal;
    // Only the descriptors open now are the caller's: an output may name those, never the
    // log's or another the command opens itself.
    VekCli::Fs::NoteCallerDescriptors();
    // An answer to a reader that has gone, and a write over the file-size limit, fail
    // (logged, 70) instead of ending the process outside the documented codes.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    cli_request request = cli_request::create(argc, argv, nullptr);
    std::string logName = request.getLogName();
    if (logName.empty()) logName = kProgramName;
    LogOpen2(logName.c_str(), static_cast<int>(request.getLogLevel()), 0);

    cli_response response = cli_response::fail_internal("FAIL\n", "");
    try {
        const VekCli::cli_engine engine(VekCli::service_pack{VekCli::Tavrel::Api__Create(VekCli::Fs::Api__Create())});
        response = engine.activate(request);
    } catch (const generic_error &) {
        // logged where it was thrown
    } catch (const std::exception &e) {
        ZLOG_FAIL("main", "fail: exception <%s>", e.what());
    } catch (...) {
        ZLOG_FAIL("main", "fail: exception <%s>", "unknown");
    }

    bool written = false;
    int code = response.render(STDOUT_FILENO, STDERR_FILENO, &written);
    if (!written) {
        ZLOG_FAIL("main", "fail: write <stdout>");
        code = cli_response::kFailInternal;
    }
    LogClose();
    return code;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return _T_main(argc, argv);
    } catch (...) {
        return cli_response::kFailInternal;  // nothing may reach std::terminate
    }
}
