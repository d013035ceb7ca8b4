#include "fs/zip_library.h"

#include <dlfcn.h>

#include <utility>

#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {
namespace VekCli {
namespace Fs {

zip_library::zip_library(std::string soname) : _soname(std::move(soname)) {}

zip_library::~zip_library() {
    if (_handle) ::dlclose(_handle);
}

const zip_functions &zip_library::functions() {
    if (_handle) return _functions;
    void *handle = ::dlopen(_soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        ZLOG_FAIL("zip_library", "fail: dlopen <%s> (%s)", _soname.c_str(), ::dlerror());
        throw internal_error();
    }
    zip_functions bound = {};
    const char *missing = nullptr;
#define VEK_ZIP_FN(name)                                                        \
    bound.name = reinterpret_cast<decltype(bound.name)>(::dlsym(handle, #name)); \
    if (!bound.name && !missing) missing = #name;
#include "fs/zip_functions.def"
#undef VEK_ZIP_FN
    if (missing) {
        ZLOG_FAIL("zip_library", "fail: dlsym <%s> in <%s>", missing, _soname.c_str());
        ::dlclose(handle);
        throw internal_error();
    }
    _functions = bound;
    _handle = handle;
    return _functions;
}

}  // namespace Fs
}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
