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

}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
