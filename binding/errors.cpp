#include "errors.h"

#include <cstring>

#include "converters.h"

char g_szError[KT_ERROR_MAX_LENGTH + 1];

void SetErrorMessage(const char *text) {
    size_t length = text ? strnlen(text, sizeof g_szError - 1) : 0;
    std::memmove(g_szError, text ? text : "", length);  // text may be g_szError itself
    g_szError[length] = '\0';
}

bool SetKTErrorMessage(KT_INTERFACE *table, DWORD code) {
    const char *text = table && table->KTGetErrorDesc ? table->KTGetErrorDesc(code) : nullptr;
    SetErrorMessage(text);
    return text != nullptr;
}

bool CreateTavrelException(DWORD code, const char *text, PyObject **out) {
    if (!out) return false;
    PyObject *dict = PyDict_New();
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    // An entry that cannot be made is left out; the dictionary stands all the same.
    SetDictionaryInt(dict, "ErrorCode", code);
    SetDictionaryString(dict, "ErrorDesc", text, false);
    *out = dict;
    return true;
}

namespace Tavrel {

PyObject *raise_error(KT_INTERFACE *table, DWORD code, PyObject *type) {
    const bool has_text = SetKTErrorMessage(table, code);
    PyObject *dict = nullptr;
    if (CreateTavrelException(code, has_text ? g_szError : nullptr, &dict)) {
        PyErr_SetObject(type, dict);
        Py_DECREF(dict);
    } else if (PyObject *text = PyBytes_FromString(g_szError)) {  // the library's bytes, as the dictionary's
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    return nullptr;
}

}  // namespace Tavrel
