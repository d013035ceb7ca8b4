// A signing engine: one library context with one private key read into it, and the
// configured algorithms. An engine is used by one thread at a time.
#pragma once

#include <memory>

#include "vek_json.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

// Statuses: 0 success, -1 failure, -2 the key medium refused access. Once refused, an
// engine refuses every later operation without asking the library. A buffer that is
// too small is no failure: nothing is written and *outSize says what is needed.
class engine_like {
public:
    virtual ~engine_like() = default;
    // The key's own certificate.
    virtual int getCert(unsigned char *out, unsigned long *outSize) = 0;
    // The hash as lowercase hexadecimal text; *outSize is set to its length without
    // the NUL, which needs one more byte of room.
    virtual int getHash(const unsigned char *data, unsigned long size, unsigned char *out,
                        unsigned long *outSize) = 0;
    virtual int getSign(const unsigned char *data, unsigned long size, unsigned char *out,
                        unsigned long *outSize) = 0;
};

// Reads the configuration at `confPath` once, for every engine made from it: a file changed
// later changes none of them. Null, with the reasons logged, for no path or a file that
// cannot be read or used.
std::shared_ptr<const engine_conf> Engine__ReadConf(const char *confPath);

// Makes an engine over the key `conf` names. Never empty; throws params_error (no
// configuration, password too long for a key medium), not_found_error (no medium with the
// serial), deny_error (password refused), unsupported_error (unknown key location) or
// internal_error (library failure).
std::shared_ptr<engine_like> Engine__Create(std::shared_ptr<const engine_conf> conf);

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
