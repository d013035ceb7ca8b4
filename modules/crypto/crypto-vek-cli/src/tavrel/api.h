// The tool's signature facade: key media of the accepted type, keys on them,
// certificates and signatures, over the signature library.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fs/api.h"

namespace Zarn {
namespace Support {
namespace VekCli {
namespace Tavrel {

// Failures: params_error for an unusable serial, password or missing key (where the
// operation needs one), internal_error for library, file and conversion failures.
class api_like {
public:
    virtual ~api_like() = default;
    virtual bool mediaList(std::string serial) = 0;
    virtual bool mediaList(std::vector<std::string> &serials) = 0;
    virtual void keyCreate(std::string serial, std::string password, std::string csrDsName, std::string csrKepName,
                           std::string csrZipPath) = 0;
    virtual void keyDelete(std::string serial, std::string password) = 0;
    virtual bool keyTestAccess(std::string serial, std::string password) = 0;
    virtual bool keyTestValid(std::string serial, std::string password) = 0;
    virtual bool keyTestSign(std::string serial, std::string password) = 0;
    virtual bool keyTestAll(std::string serial, std::string password, bool *access, bool *valid, bool *sign) = 0;
    virtual void signCrtPeriod(std::string serial, std::string password, std::string &minTime,
                               std::string &maxTime) = 0;
    virtual void signExporCrt(std::string serial, std::string password, std::string crtPath) = 0;
    virtual void signCreateExt(std::string serial, std::string password, std::string blobPath, std::string signPath,
                               bool flag) = 0;
    virtual bool signVerify(std::string blobPath, std::string signPath, std::string crtPath) = 0;
};

// The first call in the process initialises the signature library; it is finalised at exit.
std::shared_ptr<api_like> Api__Create(std::shared_ptr<Fs::api_like> fs);

}  // namespace Tavrel
}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
