#include "converters.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "py_compat.h"

namespace {

using kt_records::kt_field;

// Stores value (a new reference, may be null) under key; the dictionary keeps the only one.
bool store(PyObject *dict, const char *key, PyObject *value) {
    if (!value || PyDict_SetItemString(dict, key, value) != 0) {
        Py_XDECREF(value);
        PyErr_Clear();
        return false;
    }
    Py_DECREF(value);
    return true;
}

PyObject *exact_int(unsigned long long value) {
    return value <= LONG_MAX ? Tavrel::py::int_from_long(long(value)) : PyLong_FromUnsignedLongLong(value);
}

// The value that source (a dictionary, or a snapshot of one) holds under the key name, as a
// new reference: the str key's, else the byte-string key's where the interpreter tells the
// two apart (Python 3). Null when it holds neither or is neither, with no error left. Keys
// are matched by their characters, so no script code runs; a dictionary is read through a
// snapshot of its own.
PyObject *dictionary_value(PyObject *source, const char *name) {
    PyObject *snapshot = Tavrel::held_snapshot(source);
    if (!snapshot) return nullptr;
    PyObject *found = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(snapshot); ++i) {
        PyObject *pair = PyTuple_GET_ITEM(snapshot, i);
        const auto spelling = Tavrel::py::spelling_of(PyTuple_GET_ITEM(pair, 0), name);
        if (spelling == Tavrel::py::key_spelling::native) {
            found = PyTuple_GET_ITEM(pair, 1);
            break;
        }
        if (spelling == Tavrel::py::key_spelling::byte && !found) found = PyTuple_GET_ITEM(pair, 1);
    }
    Py_XINCREF(found);
    Py_DECREF(snapshot);
    return found;
}

// Fields of packed records are read byte-wise: they may sit at any offset.
template <class T>
T field_value(const void *record, const kt_field &field) {
    T value;
    std::memcpy(&value, static_cast<const char *>(record) + field.offset, sizeof value);
    return value;
}

bool field_to_dictionary(PyObject *dict, const void *record, const kt_field &field) {
    const char *at = static_cast<const char *>(record) + field.offset;
    switch (field.kind) {
    case kt_records::KT_FIELD_WORD: return SetDictionaryInt(dict, field.name, field_value<WORD>(record, field));
    case kt_records::KT_FIELD_INT: return SetDictionaryBool(dict, field.name, field_value<int>(record, field));
    case kt_records::KT_FIELD_ULONG: return SetDictionaryInt(dict, field.name, field_value<DWORD>(record, field));
    case kt_records::KT_FIELD_ULONGLONG:
        return SetDictionaryDwordLong(dict, field.name, field_value<unsigned long long>(record, field));
    case kt_records::KT_FIELD_TEXT_PTR:
        return SetDictionaryString(dict, field.name, field_value<const char *>(record, field), true);
    case kt_records::KT_FIELD_TEXT_ARRAY:
        return store(dict, field.name, Tavrel::decode_text(at, strnlen(at, field.size)));
    case kt_records::KT_FIELD_TIME: {
        PyObject *time = PyDict_New();
        if (!time || !SystemTimeToDictionary(time, reinterpret_cast<const SYSTEMTIME *>(at))) {
            Py_XDECREF(time);
            PyErr_Clear();
            return false;
        }
        return store(dict, field.name, time);
    }
    case kt_records::KT_FIELD_CERT_LIST: break;  // walked by CertificatesToList only
    }
    return false;
}

// The low 32 bits of a DWORD field, read as a signed number.
bool signed_low_word_to_dictionary(PyObject *dict, const void *record, const kt_field &field) {
    const auto low = static_cast<int32_t>(static_cast<uint32_t>(field_value<DWORD>(record, field)));
    return store(dict, field.name, Tavrel::py::int_from_long(low));
}

// Fields whose dictionary form is not their kind's.
struct field_form {
    const kt_field *record_fields;  // the record's field table
    const char *name;
    bool (*to_dictionary)(PyObject *dict, const void *record, const kt_field &field);
};
const field_form own_forms[] = {
    {kt_records::KT_USER_INFO_fields, "dwVersion", signed_low_word_to_dictionary},
};

bool to_dictionary(PyObject *dict, const void *record, const kt_field *fields, const kt_field &field) {
    for (const field_form &form : own_forms)
        if (form.record_fields == fields && std::strcmp(form.name, field.name) == 0)
            return form.to_dictionary(dict, record, field);
    return field_to_dictionary(dict, record, field);
}

bool field_from_dictionary(PyObject *dict, void *record, const kt_field &field, Tavrel::text_fault *fault) {
    char *at = static_cast<char *>(record) + field.offset;
    switch (field.kind) {
    case kt_records::KT_FIELD_ULONG: {
        DWORD value;
        if (!GetDictionaryInt(dict, field.name, &value)) return false;
        std::memcpy(at, &value, sizeof value);
        return true;
    }
    case kt_records::KT_FIELD_TEXT_ARRAY: return GetDictionaryString(dict, field.name, at, field.size, fault);
    default: return false;  // no dictionary form reads other kinds
    }
}

}  // namespace

bool SetDictionaryString(PyObject *dict, const char *key, const char *text, bool decode) {
    if (!text) {
        Py_INCREF(Py_None);
        return store(dict, key, Py_None);
    }
    return store(dict, key, decode ? Tavrel::decode_text(text, std::strlen(text)) : PyBytes_FromString(text));
}

bool SetDictionaryInt(PyObject *dict, const char *key, DWORD value) { return store(dict, key, exact_int(value)); }

bool SetDictionaryDwordLong(PyObject *dict, const char *key, unsigned long long value) {
    return store(dict, key, exact_int(value));
}

bool SetDictionaryBool(PyObject *dict, const char *key, long value) {
    return store(dict, key, PyBool_FromLong(value != 0));
}

bool GetDictionaryString(PyObject *dict, const char *key, char *buffer, size_t size, Tavrel::text_fault *fault) {
    using Tavrel::text_fault;
    auto note = [fault](text_fault found) {
        if (fault && *fault == text_fault::none) *fault = found;
    };
    PyObject *value = dictionary_value(dict, key);
    bool unencodable = false;
    PyObject *bytes = value ? Tavrel::encode_text(value, &unencodable) : nullptr;
    Py_XDECREF(value);
    if (!bytes) {
        if (unencodable) note(text_fault::unencodable);
        return false;
    }
    if (Tavrel::holds_nul(bytes)) note(text_fault::nul);
    const size_t length = size_t(PyBytes_GET_SIZE(bytes));
    if (size == 0 || length > size - 1) {
        note(text_fault::too_long);
        Py_DECREF(bytes);
        return false;
    }
    const char *text = PyBytes_AS_STRING(bytes);
    const size_t kept = strnlen(text, length);
    std::memcpy(buffer, text, kept);
    std::memset(buffer + kept, 0, size - kept);
    Py_DECREF(bytes);
    return true;
}

bool GetDictionaryInt(PyObject *dict, const char *key, DWORD *out) {
    PyObject *value = dictionary_value(dict, key);
    if (!value) return false;
    bool ok = false;
    long small = 0;
    if (Tavrel::py::small_int(value, &small)) {
        ok = small >= 0;
        if (ok) *out = DWORD(small);
    } else if (Tavrel::py::big_int(value)) {
        unsigned long long v = PyLong_AsUnsignedLongLong(value);  // refuses negatives and 2^64 on
        ok = !PyErr_Occurred();
        if (ok) *out = DWORD(v);
        else PyErr_Clear();
    }
    Py_DECREF(value);
    return ok;
}

bool GetDictionaryBool(PyObject *dict, const char *key, BOOL *out) {
    PyObject *value = dictionary_value(dict, key);
    const bool ok = value == Py_True || value == Py_False;
    if (ok) *out = value == Py_True ? 1 : 0;
    Py_XDECREF(value);
    return ok;
}

#define TAVREL_DEFINE_CONVERTER(NAME, RECORD)                                                      \
    bool NAME(PyObject *dict, const RECORD *record) {                                              \
        return record && Tavrel::record_to_dictionary(dict, record, kt_records::RECORD##_fields,   \
                                                      std::size(kt_records::RECORD##_fields));     \
    }
TAVREL_RECORD_CONVERTERS(TAVREL_DEFINE_CONVERTER)
#undef TAVREL_DEFINE_CONVERTER

bool CertificatesToList(PyObject *list, const KT_CERTIFICATES *certificates) {
    if (!certificates || !PyList_Check(list)) return false;
    if (certificates->dwCount > 0 && !certificates->ppCertificates) return false;
    for (DWORD i = 0; i < certificates->dwCount; ++i) {
        PyObject *item = PyDict_New();
        bool ok = item && CertInfoExToDictionary(item, certificates->ppCertificates[i]) &&
                  PyList_Append(list, item) == 0;
        Py_XDECREF(item);
        if (!ok) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

bool KeyMediaFromDictionary(PyObject *dict, KT_KEY_MEDIA *record, Tavrel::text_fault *fault) {
    return record && Tavrel::record_from_dictionary(dict, record, kt_records::KT_KEY_MEDIA_fields,
                                                    std::size(kt_records::KT_KEY_MEDIA_fields), fault);
}

bool UserInfoFromDictionary(PyObject *dict, KT_USER_INFO *record, Tavrel::text_fault *fault) {
    return record && Tavrel::record_from_dictionary(dict, record, kt_records::KT_USER_INFO_fields,
                                                    std::size(kt_records::KT_USER_INFO_fields), fault);
}

namespace Tavrel {

bool record_to_dictionary(PyObject *dict, const void *record, const kt_field *fields, size_t count) {
    if (!record || !PyDict_Check(dict)) return false;
    for (size_t i = 0; i < count; ++i)
        if (!to_dictionary(dict, record, fields, fields[i])) return false;
    return true;
}

bool record_from_dictionary(PyObject *dict, void *record, const kt_field *fields, size_t count, text_fault *fault) {
    PyObject *snapshot = record ? held_snapshot(dict) : nullptr;
    if (!snapshot) return false;
    bool read = true;
    for (size_t i = 0; read && i < count; ++i) read = field_from_dictionary(snapshot, record, fields[i], fault);
    Py_DECREF(snapshot);
    return read;
}

PyObject *dictionary_snapshot(PyObject *dict) {
    PyObject *items = PyDict_Check(dict) ? PyDict_Items(dict) : nullptr;
    PyObject *snapshot = items ? PyList_AsTuple(items) : nullptr;
    Py_XDECREF(items);
    if (!snapshot) PyErr_Clear();
    return snapshot;
}

PyObject *held_snapshot(PyObject *source) {
    if (PyTuple_CheckExact(source)) {
        Py_INCREF(source);
        return source;
    }
    return dictionary_snapshot(source);
}

PyObject *decode_text(const char *text, size_t length) {
    if (length > size_t(PY_SSIZE_T_MAX)) return nullptr;
    PyObject *decoded = PyUnicode_Decode(text, Py_ssize_t(length), "cp1251", "strict");
    if (!decoded) PyErr_Clear();
    return decoded;
}

PyObject *encode_text(PyObject *text, bool *unencodable) {
    if (unencodable) *unencodable = false;
    if (PyBytes_Check(text)) {
        Py_INCREF(text);
        return text;
    }
    if (!PyUnicode_Check(text)) return nullptr;
    PyObject *encoded = PyUnicode_AsEncodedString(text, "cp1251", "strict");
    if (!encoded || !PyBytes_Check(encoded)) {
        Py_XDECREF(encoded);
        PyErr_Clear();
        if (unencodable) *unencodable = true;
        return nullptr;
    }
    return encoded;
}

bool holds_nul(PyObject *bytes) {
    return std::memchr(PyBytes_AS_STRING(bytes), '\0', size_t(PyBytes_GET_SIZE(bytes))) != nullptr;
}

}  // namespace Tavrel
