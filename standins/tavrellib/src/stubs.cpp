// Every function of the library, generated from the interface's function list:
// weak definitions that answer "not supported", overridden by the functions that
// have behaviour. Functions without an exact prototype take no arguments here.
#include <type_traits>

#include "controls.h"
#include "kt_api.h"
#include "tavrel_standin.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace {

// What a function without behaviour returns, by result type: statuses the stand-in's
// "not supported" code, BOOL results FALSE, pointers NULL; void functions do nothing.
template <class Result>
Result unsupported() {
    if constexpr (std::is_void_v<Result>) {
        return;
    } else if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else if constexpr (std::is_same_v<Result, BOOL>) {
        return 0;
    } else {
        return static_cast<Result>(TAVREL_STANDIN_ERROR_NOT_SUPPORTED);
    }
}

}  // namespace

extern "C" {
#define KT_FN(name, result, params)                  \
    __attribute__((weak)) result name params {       \
        tavrel_standin::note_call(#name);            \
        return unsupported<result>();                \
    }
#define KT_FN_ANY(name)                              \
    __attribute__((weak)) DWORD name(void) {         \
        tavrel_standin::note_call(#name);            \
        return unsupported<DWORD>();                 \
    }
#include "kt_functions.def"
#undef KT_FN
#undef KT_FN_ANY
}
