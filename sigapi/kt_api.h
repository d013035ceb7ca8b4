/* The signature library's interface: types, records, constants, status codes,
 * function prototypes and the 541-slot function table KT_INTERFACE.
 *
 * C and C++; the table of function names is C++ only. The function list lives in
 * kt_functions.def; records and constants are generated from records.txt and
 * constants.txt. */
#pragma once

#include <stddef.h>

#include "kt_types.h"
#include "kt_records.h"
#include "kt_constants.h"

/* Statuses that callers test; any other non-zero status is a failure with its text. */
#define KT_ERROR_NONE 0
#define KT_ERROR_BAD_PARAMETER 2
#define KT_ERROR_RESOURCE_FAILED 6
#define KT_ERROR_NO_MORE_ITEMS 7
#define KT_ERROR_KEY_MEDIAS_ACCESS_FAILED 18

/* A function that no caller of ours invokes: the table only binds its address. */
typedef void (*KT_ANY_FUNCTION)(void);

#ifdef __cplusplus
extern "C" {
#endif
#define KT_FN(name, result, params) result name params;
#define KT_FN_ANY(name)
#include "kt_functions.def"
#undef KT_FN
#undef KT_FN_ANY

/* The library's optional entry point: reason 1 attach, 0 detach; 0 refuses an attach. */
typedef BOOL (*KT_DLLMAIN)(void *handle, DWORD reason, void *reserved);
#ifdef __cplusplus
}
#endif

typedef struct KT_INTERFACE {
#define KT_FN(name, result, params) result (*name) params;
#define KT_FN_ANY(name) KT_ANY_FUNCTION name;
#include "kt_functions.def"
#undef KT_FN
#undef KT_FN_ANY
} KT_INTERFACE, *PKT_INTERFACE;

#ifdef __cplusplus
/* The library's function names in slot order; slot n of KT_INTERFACE binds name n. */
inline constexpr const char *const kt_function_names[] = {
#define KT_FN(name, result, params) #name,
#define KT_FN_ANY(name) #name,
#include "kt_functions.def"
#undef KT_FN
#undef KT_FN_ANY
};
inline constexpr size_t kt_function_count = sizeof(kt_function_names) / sizeof(kt_function_names[0]);

static_assert(kt_function_count == 541, "the library binds 541 functions");
static_assert(sizeof(KT_INTERFACE) == kt_function_count * sizeof(void *), "one pointer per slot");
#endif

/* Library file name and entry-point name, as the loader opens and looks them up. */
#define KT_LIBRARY_FILE_NAME "tavrellib.so"
#define KT_DLLMAIN_NAME "DllMain"
