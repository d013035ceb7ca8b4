/* Error reporting of the module: the process-wide error text and the error dictionary
 * {"ErrorCode": code, "ErrorDesc": text} that becomes an exception's value.
 *
 * Not thread-safe: callers hold the interpreter lock. */
#pragma once

#include <Python.h>

#include "kt_api.h"

/* Text of the most recent error, NUL-terminated, in the library's encoding; one byte more
 * than the library's longest text. */
extern char g_szError[KT_ERROR_MAX_LENGTH + 1];

/* Copies text into g_szError, cut to fit; a null text leaves an empty one. */
void SetErrorMessage(const char *text);

/* Stores the library's text for code (its KTGetErrorDesc) in g_szError. False when the
 * library gave no text (or there is no table to ask): g_szError is then empty. */
bool SetKTErrorMessage(KT_INTERFACE *table, DWORD code);

/* Makes {"ErrorCode": code, "ErrorDesc": text as a byte string, or None for a null text}
 * into *out. False when out is null or no dictionary can be made; an entry that cannot be
 * added is left out. Leaves no Python error pending. */
bool CreateTavrelException(DWORD code, const char *text, PyObject **out);

namespace Tavrel {

/* Raises type with the error dictionary of code and the library's text for it, or with the
 * bare text when the dictionary cannot be made. Always returns null, for "return
 * raise_error(...)". */
PyObject *raise_error(KT_INTERFACE *table, DWORD code, PyObject *type);

/* The wrappers' own failures: TypeError with code 2 (wrong kind of argument) or 6 (a
 * resource could not be made). */
inline PyObject *raise_bad_argument(KT_INTERFACE *table) {
    return raise_error(table, KT_ERROR_BAD_PARAMETER, PyExc_TypeError);
}
inline PyObject *raise_resource_failed(KT_INTERFACE *table) {
    return raise_error(table, KT_ERROR_RESOURCE_FAILED, PyExc_TypeError);
}

}  // namespace Tavrel
