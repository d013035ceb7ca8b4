// What any result of the configuration reader must satisfy, shared by the generated
// test and the libFuzzer target.
#pragma once

#include <cstddef>

#include "vek_json.h"

namespace json_fuzz {

using namespace Zarn::Support::Crypto::Vek;

// `failLines`: level-1 lines logged by the call.
inline bool sound(const engine_conf &conf, bool ok, size_t failLines) {
    if (!ok) return conf.keyMedia.kind() == keymedia_conf::kNone && failLines <= 1;
    if (failLines != 0) return false;
    if (conf.hashAlgo < 1 || conf.hashAlgo > 4 || conf.signAlgo < 1 || conf.signAlgo > 3) return false;
    switch (conf.keyMedia.kind()) {
    case keymedia_conf::kDevice: return !conf.keyMedia.dev().model.empty() && !conf.keyMedia.dev().serial.empty();
    case keymedia_conf::kFile: return !conf.keyMedia.file().path.empty();
    default: return false;
    }
}

}  // namespace json_fuzz
