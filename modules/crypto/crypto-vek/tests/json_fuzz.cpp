// libFuzzer target: the configuration reader on arbitrary file contents.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "json_fuzz_check.h"
#include "vek_json.h"

namespace {

int _s_failLines = 0;

// One in-memory file, rewritten for every input; the reader opens it by path.
int conf_fd() {
    static const int fd = memfd_create("vek-json-fuzz", 0);
    if (fd < 0) std::abort();
    return fd;
}

const std::string &conf_path() {
    static const std::string path = "/proc/self/fd/" + std::to_string(conf_fd());
    return path;
}

}  // namespace

extern "C" int LogWrite(const char *, int, const char *, int level, const char *, ...) {
    if (level == 1) ++_s_failLines;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (ftruncate(conf_fd(), 0) != 0 || pwrite(conf_fd(), data, size, 0) != static_cast<ssize_t>(size)) std::abort();

    _s_failLines = 0;
    Zarn::Support::Crypto::Vek::engine_conf conf;
    const bool ok = Zarn::Support::Crypto::Vek::Json__UnpackConf(&conf, conf_path().c_str());
    if (!json_fuzz::sound(conf, ok, static_cast<size_t>(_s_failLines))) std::abort();
    return 0;
}
