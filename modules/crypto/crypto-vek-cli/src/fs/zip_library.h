// libzip, opened on first use: a command that makes no archive never loads it.
#pragma once

#include <zip.h>

#include <string>

namespace Zarn {
namespace Support {
namespace VekCli {
namespace Fs {

// The libzip functions the tool calls, each of the type libzip declares.
struct zip_functions {
#define VEK_ZIP_FN(name) decltype(&::name) name;
#include "fs/zip_functions.def"
#undef VEK_ZIP_FN
};

class zip_library {
public:
    explicit zip_library(std::string soname);
    ~zip_library();
    zip_library(const zip_library &) = delete;
    zip_library &operator=(const zip_library &) = delete;

    // Opens the library on the first call. internal_error, logged, when it or one of its
    // functions cannot be loaded; a later call tries again.
    const zip_functions &functions();

private:
    const std::string _soname;
    void *_handle = nullptr;
    zip_functions _functions = {};
};

}  // namespace Fs
}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
