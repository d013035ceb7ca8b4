#include "engine.h"

#include <map>
#include <utility>
#include <vector>

#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {
namespace VekCli {

namespace {

using handler = cli_response (*)(const cli_request &, const service_pack &);

const char kDone[] = "DONE\n";

const char *_T_verdict(bool passed) { return passed ? "PASSED\n" : "FAILED\n"; }
const char *_T_json_verdict(bool passed) { return passed ? "passed" : "failed"; }

// The count, then the verb: a handler that does not fit declines.
void _T_expect(const cli_request &request, unsigned long count, const char *verb) {
    request.assert_args(count);
    request.assert_arg(1, verb);
}

// Command handlers: each declines with not_found_error unless the argument count and
// the verb are its own.
cli_response _T_media__list(const cli_request &request, const service_pack &services) {
    _T_expect(request, 2, "list");
    std::vector<std::string> serials;
    services.tavrel->mediaList(serials);
    std::string out;
    for (const std::string &serial : serials) out += serial + "\n";
    return cli_response::done(out, "");
}

cli_response _T_media__list_serial(const cli_request &request, const service_pack &services) {
    _T_expect(request, 3, "list");
    const std::string serial = request.args[2];
    return cli_response::done(services.tavrel->mediaList(serial) ? serial + "\n" : std::string(), "");
}

cli_response _T_key__create_mediaSerial_mediaPass_csrDsName_csrKepName_csrZipPath(const cli_request &request,
                                                                                  const service_pack &services) {
    _T_expect(request, 7, "create");
    services.tavrel->keyCreate(request.args[2], request.args[3], request.args[4], request.args[5], request.args[6]);
    return cli_response::done(kDone, "");
}

cli_response _T_key__delete_mediaSerial_mediaPass(const cli_request &request, const service_pack &services) {
    _T_expect(request, 4, "delete");
    services.tavrel->keyDelete(request.args[2], request.args[3]);
    return cli_response::done(kDone, "");
}

cli_response _T_key__testAccess_mediaSerial_mediaPass(const cli_request &request, const service_pack &services) {
    _T_expect(request, 4, "test-access");
    return cli_response::done(_T_verdict(services.tavrel->keyTestAccess(request.args[2], request.args[3])), "");
}

cli_response _T_key__testValid_mediaSerial_mediaPass(const cli_request &request, const service_pack &services) {
    _T_expect(request, 4, "test-valid");
    return cli_response::done(_T_verdict(services.tavrel->keyTestValid(request.args[2], request.args[3])), "");
}

cli_response _T_key__testSign_mediaSerial_mediaPass(const cli_request &request, const service_pack &services) {
    _T_expect(request, 4, "test-sign");
    return cli_response::done(_T_verdict(services.tavrel->keyTestSign(request.args[2], request.args[3])), "");
}

cli_response _T_key__testAll_mediaSerial_mediaPass(const cli_request &request, const service_pack &services) {
    _T_expect(request, 4, "test-all");
    bool access = false, valid = false, sign = false;
    const bool all = services.tavrel->keyTestAll(request.args[2], request.args[3], &access, &valid, &sign);
    return cli_response::done(std::string("{\"test-key-access\":\"") + _T_json_verdict(access) +
                                  "\",\"test-key-valid\":\"" + _T_json_verdict(valid) + "\",\"test-key-sign\":\"" +
                                  _T_json_verdict(sign) + "\",\"test-all\":\"" + _T_json_verdict(all) + "\"}\n",
                              "");
}

cli_response _T_sign__crtInfo_mediaSerial_mediaPass(const cli_request &request, const service_pack &services) {
    _T_expect(request, 4, "crt-info");
    std::string minTime, maxTime;
    services.tavrel->signCrtPeriod(request.args[2], request.args[3], minTime, maxTime);
    return cli_response::done("{\"min-time\":\"" + minTime + "\",\"max-time\":\"" + maxTime + "\"}\n", "");
}

cli_response _T_sign__exportCrt_mediaSerial_mediaPass_crtPath(const cli_request &request,
                                                              const service_pack &services) {
    _T_expect(request, 5, "export-crt");
    services.tavrel->signExporCrt(request.args[2], request.args[3], request.args[4]);
    return cli_response::done(kDone, "");
}

cli_response _T_sign__createExt_mediaSerial_mediaPass_blobPath_sign_path(const cli_request &request,
                                                                         const service_pack &services) {
    _T_expect(request, 6, "create-ext");
    services.tavrel->signCreateExt(request.args[2], request.args[3], request.args[4], request.args[5], false);
    return cli_response::done(kDone, "");
}

cli_response _T_sign__verify_blobPath_signPath_crtPath(const cli_request &request, const service_pack &services) {
    _T_expect(request, 5, "verify");
    if (services.tavrel->signVerify(request.args[2], request.args[3], request.args[4]))
        return cli_response::done("PASSED\n", "");
    return cli_response::fail_external("FAILED\n", "");
}

}  // namespace

cli_engine::cli_engine(service_pack services) : _services(std::move(services)) {}

std::string cli_engine::usage() const {
    return "vek-cli media  list\n"
           "vek-cli media  list         <serial>\n"
           "vek-cli key    create       <serial> <password> <csr-ds-name> <csr-kep-name> <csr-zip-path>\n"
           "vek-cli key    delete       <serial> <password>\n"
           "vek-cli key    test-access  <serial> <password>\n"
           "vek-cli key    test-valid   <serial> <password>\n"
           "vek-cli key    test-sign    <serial> <password>\n"
           "vek-cli key    test-all     <serial> <password>\n"
           "vek-cli sign   crt-info     <serial> <password>\n"
           "vek-cli sign   export-crt   <serial> <password> <crt-path>\n"
           "vek-cli sign   create-ext   <serial> <password> <blob-path> <sign-path>\n"
           "vek-cli sign   verify       <blob-path> <sign-path> <crt-path>\n";
}

cli_response cli_engine::activate(const cli_request &request) const {
    static const std::map<std::string, std::vector<handler>> actionToHandlersMap = {
        {"media", {_T_media__list, _T_media__list_serial}},
        {"key",
         {_T_key__create_mediaSerial_mediaPass_csrDsName_csrKepName_csrZipPath, _T_key__delete_mediaSerial_mediaPass,
          _T_key__testAccess_mediaSerial_mediaPass, _T_key__testValid_mediaSerial_mediaPass,
          _T_key__testSign_mediaSerial_mediaPass, _T_key__testAll_mediaSerial_mediaPass}},
        {"sign",
         {_T_sign__crtInfo_mediaSerial_mediaPass, _T_sign__exportCrt_mediaSerial_mediaPass_crtPath,
          _T_sign__createExt_mediaSerial_mediaPass_blobPath_sign_path, _T_sign__verify_blobPath_signPath_crtPath}},
    };

    cli_response answer = cli_response::fail_internal("FAIL\n", "");
    try {
        request.assert_min_args(1);
        const auto group = actionToHandlersMap.find(request.args[0]);
        if (group == actionToHandlersMap.end()) throw not_found_error();
        for (const handler each : group->second) {
            try {
                return each(request, _services);
            } catch (const not_found_error &) {
                // declined: try the next handler
            }
        }
        throw not_found_error();
    } catch (const external_error &) {
        answer = cli_response::fail_internal(usage(), "");
    } catch (const generic_error &) {
        // logged where it was thrown
    } catch (const std::exception &e) {
        ZLOG_FAIL("activate", "fail: exception <%s>", e.what());
    }
    return answer;
}

}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
