// A signing engine: one library context with one private key read into it, and the
// configured algorithms. An engine is used by one thread at a time.
#pragma once

#include <memory>

#include "vek_json.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

// Statuses: 0 success, -1 failure, -2 the key medium refused access. A buffer that is
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

// What every engine of one provider is made from, shared by them (thread-safe): the
// configuration read at Open, the key file's bytes and the certificate of the first key
// read, and the verdict once no engine can work until the next Open.
class engine_source;

// Reads the configuration at `confPath` now, once for every engine made from the source:
// a file changed later changes none of them. For a relative key-file path the working
// folder is held open now, and the key file is read in it, whatever its name becomes.
// A path or file that cannot be read or used, a key-file path too long to open and a key
// file already too large give a source whose verdict is -1, with the reasons logged.
std::shared_ptr<engine_source> Engine__ReadSource(const char *confPath);

// 0 while engines can be made and work. Otherwise the status that every operation on the
// source answers at once, without asking the library, until the source goes: -1 for a
// configuration that cannot be used (also a key file found too large when read) or a
// key that changed since its first reading, -2
// once the key medium refused the password. Logs the reason at level 1 under `function`
// when one is given and the verdict is not 0.
int Engine__Verdict(const engine_source &source, const char *function = nullptr);

// Makes an engine over the key the source names; engines of one source are made one at
// a time, all with the key of the first reading. Never empty; throws params_error (a
// verdict of -1 for the configuration), deny_error (password refused, now or before),
// not_found_error (no medium with the serial), unsupported_error (unknown key location)
// or internal_error (library failure, a key file that does not read, another key than
// the first reading's).
std::shared_ptr<engine_like> Engine__Create(const std::shared_ptr<engine_source> &source);

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
