// The provider: signs asynchronously on one worker thread fed by a two-slot request
// ring, and answers hashing and certificate requests on the caller's thread with the
// engine of its pool. The signature library is initialised while a provider exists.
#pragma once

#include <memory>

#include "signvek.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

// Statuses: 0 success, -1 failure, -2 the key medium refused access, -3 busy.
class provider_like {
public:
    virtual ~provider_like() = default;
    // Starts the worker; a provider runs at most once.
    virtual void start() = 0;
    // Asks the worker to answer what is queued with -1 and end; does not wait.
    virtual void stop() = 0;
    virtual int getCert(unsigned char *data, unsigned long *size) = 0;
    virtual int getHash(const unsigned char *data, unsigned long size, unsigned char *out, unsigned long *outSize) = 0;
    // Queues a copy of the request; on 0 the handler is called exactly once. The
    // engines' verdict (Engine__Verdict) is answered at once.
    virtual int getSign(const unsigned char *data, unsigned long size, CryptoSignHandler handler, void *context,
                        unsigned short timeoutMs) = 0;
};

// Initialises the library, then reads the configuration: the provider's engines are all
// made from what was read then, with one key. A configuration that cannot be read or used
// is logged here, and every later operation answers -1 at once. Sign handlers run on the
// worker, and those of requests no worker took on the thread that destroys the provider.
// Throws internal_error when the library fails to initialise, std::invalid_argument for a
// null path.
std::unique_ptr<provider_like> Provider__Create(const char *confPath);

// True on a provider's worker thread, where sign handlers run.
bool Provider__OnWorkerThread();

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
