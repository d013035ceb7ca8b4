// The command engine: the command table, dispatch and the command handlers.
#pragma once

#include <memory>
#include <string>

#include "tavrel/api.h"
#include "zarn/support/cli.h"

namespace Zarn {
namespace Support {
namespace VekCli {

struct service_pack {
    std::shared_ptr<Tavrel::api_like> tavrel;
};

// Answers a request: usage text with 70 when it fits no command or its parameters are
// unusable, "FAIL\n" with 70 for any other failure, else the command's own answer.
class cli_engine : public cli_engine_like {
public:
    explicit cli_engine(service_pack services);
    std::string usage() const override;
    cli_response activate(const cli_request &request) const override;

private:
    service_pack _services;
};

// Command handlers: each declines with not_found_error unless the argument count and
// the verb are its own.
cli_response _T_media__list(const cli_request &request, const service_pack &services);
cli_response _T_media__list_serial(const cli_request &request, const service_pack &services);
cli_response _T_key__create_mediaSerial_mediaPass_csrDsName_csrKepName_csrZipPath(const cli_request &request,
                                                                                  const service_pack &services);
cli_response _T_key__delete_mediaSerial_mediaPass(const cli_request &request, const service_pack &services);
cli_response _T_key__testAccess_mediaSerial_mediaPass(const cli_request &request, const service_pack &services);
cli_response _T_key__testValid_mediaSerial_mediaPass(const cli_request &request, const service_pack &services);
cli_response _T_key__testSign_mediaSerial_mediaPass(const cli_request &request, const service_pack &services);
cli_response _T_key__testAll_mediaSerial_mediaPass(const cli_request &request, const service_pack &services);
cli_response _T_sign__crtInfo_mediaSerial_mediaPass(const cli_request &request, const service_pack &services);
cli_response _T_sign__exportCrt_mediaSerial_mediaPass_crtPath(const cli_request &request, const service_pack &services);
cli_response _T_sign__createExt_mediaSerial_mediaPass_blobPath_sign_path(const cli_request &request,
                                                                         const service_pack &services);
cli_response _T_sign__verify_blobPath_signPath_crtPath(const cli_request &request, const service_pack &services);

}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
