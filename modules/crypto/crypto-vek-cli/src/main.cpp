// vek-cli: one command per process; the answer goes to standard output, the verdict
// to the exit code (0 done, 64 a signature that does not verify, 70 any other failure).
#include <exception>
#include <iostream>
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

int _T_main(int argc, char **argv) {
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

    int code = response.render(std::cout, std::cerr);
    if (!std::cout.flush()) {
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
