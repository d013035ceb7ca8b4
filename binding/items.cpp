#include "items.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "converters.h"
#include "py_compat.h"

namespace Tavrel {

struct settings_key {
    const char *name;
    settings_item::kind what;
    size_t size;  // text: the buffer's size, NUL included
};

namespace {

bool fail_bad_argument(KT_INTERFACE *table) {
    raise_bad_argument(error_table(table));
    return false;
}

bool fail_resource(KT_INTERFACE *table) {
    raise_resource_failed(error_table(table));
    return false;
}

// A text that would not reach the library as given: code 2 for a NUL or a text longer than
// its field, code 6 for Unicode that does not encode.
bool refuse_text(KT_INTERFACE *table, text_fault fault) {
    return fault == text_fault::unencodable ? fail_resource(table) : fail_bad_argument(table);
}

// Replaces what list holds with the items of fresh (a new list, dropped), in one step: the
// list is changed only when it all succeeds.
bool replace_list(KT_INTERFACE *table, PyObject *list, PyObject *fresh) {
    if (!fresh) {
        PyErr_Clear();
        return fail_resource(table);
    }
    const bool replaced = PyList_SetSlice(list, 0, PyList_GET_SIZE(list), fresh) == 0;
    Py_DECREF(fresh);
    if (replaced) return true;
    PyErr_Clear();
    return fail_bad_argument(table);  // the list could not be emptied
}

PyObject *none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// ---- settings groups: keys in the order of the library's parameters ----

constexpr settings_item::kind flag = settings_item::flag;
constexpr settings_item::kind number = settings_item::number;
constexpr settings_item::kind text = settings_item::text;

const settings_key file_store_keys[] = {
    {"szPath", text, KT_PATH_MAX_LENGTH}, {"bCheckCRLs", flag, 0},        {"bAutoRefresh", flag, 0},
    {"bOwnCRLsOnly", flag, 0},            {"bFullAndDeltaCRLs", flag, 0}, {"bAutoDownloadCRLs", flag, 0},
    {"bSaveLoadedCerts", flag, 0},        {"dwExpireTime", number, 0},
};
const settings_key proxy_keys[] = {
    {"bUseProxy", flag, 0},
    {"bAnonymous", flag, 0},
    {"szAddress", text, KT_ADDRESS_MAX_LENGTH},
    {"szPort", text, KT_PORT_MAX_LENGTH},
    {"szUser", text, KT_USER_NAME_MAX_LENGTH},
    {"szPassword", text, KT_PASS_MAX_LENGTH},
    {"bSavePassword", flag, 0},
};
const settings_key ocsp_keys[] = {
    {"bUseOCSP", flag, 0},
    {"bBeforeStore", flag, 0},
    {"szAddress", text, KT_ADDRESS_MAX_LENGTH},
    {"szPort", text, KT_PORT_MAX_LENGTH},
};
const settings_key tsp_keys[] = {
    {"bGetStamps", flag, 0},
    {"szAddress", text, KT_ADDRESS_MAX_LENGTH},
    {"szPort", text, KT_PORT_MAX_LENGTH},
};
const settings_key ldap_keys[] = {
    {"bUseLDAP", flag, 0},
    {"szAddress", text, KT_ADDRESS_MAX_LENGTH},
    {"szPort", text, KT_PORT_MAX_LENGTH},
    {"bAnonymous", flag, 0},
    {"szUser", text, KT_USER_NAME_MAX_LENGTH},
    {"szPassword", text, KT_PASS_MAX_LENGTH},
};
const settings_key cmp_keys[] = {
    {"bUseCMP", flag, 0},
    {"szAddress", text, KT_ADDRESS_MAX_LENGTH},
    {"szPort", text, KT_PORT_MAX_LENGTH},
    {"szCommonName", text, KT_COMMON_NAME_MAX_LENGTH},
};
const settings_key mode_keys[] = {{"bOfflineMode", flag, 0}};
const settings_key access_info_mode_keys[] = {{"bEnabled", flag, 0}};
const settings_key access_info_keys[] = {
    {"szIssuerCN", text, KT_COMMON_NAME_MAX_LENGTH},
    {"szAddress", text, KT_ADDRESS_MAX_LENGTH},
    {"szPort", text, KT_PORT_MAX_LENGTH},
};

template <size_t N>
constexpr settings_group group_of(const settings_key (&keys)[N]) {
    return {keys, N};
}

}  // namespace

namespace settings_groups {
const settings_group file_store = group_of(file_store_keys);
const settings_group proxy = group_of(proxy_keys);
const settings_group ocsp = group_of(ocsp_keys);
const settings_group tsp = group_of(tsp_keys);
const settings_group ldap = group_of(ldap_keys);
const settings_group cmp = group_of(cmp_keys);
const settings_group mode = group_of(mode_keys);
const settings_group access_info_mode = group_of(access_info_mode_keys);
const settings_group access_info = group_of(access_info_keys);
}  // namespace settings_groups

PyObject *status_result(KT_INTERFACE *table, DWORD status, bool enumeration) {
    if (status == KT_ERROR_NONE) {
        PyObject *result = enumeration ? Py_True : Py_None;
        Py_INCREF(result);
        return result;
    }
    if (enumeration && status == KT_ERROR_NO_MORE_ITEMS) {
        Py_INCREF(Py_False);
        return Py_False;
    }
    return raise_error(error_table(table), status, PyExc_RuntimeError);
}

bool number_value(PyObject *item, DWORD *value) {
    long v = 0;
    if (py::small_int(item, &v)) {
        if (v < 0) return false;
        *value = DWORD(v);
        return true;
    }
    if (!py::big_int(item)) return false;
    unsigned long big = PyLong_AsUnsignedLong(item);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *value = big;
    return true;
}

bool bytes_in(KT_INTERFACE *table, PyObject *item, unsigned char **copy, call_state &call) {
    const char *data = "";
    Py_ssize_t size = 0;
    if (PyBytes_Check(item)) {
        data = PyBytes_AS_STRING(item);
        size = PyBytes_GET_SIZE(item);
    } else if (item != Py_None) {
        return fail_bad_argument(table);
    }
    *copy = static_cast<unsigned char *>(std::malloc(size_t(size) + 1));
    if (!*copy) return fail_resource(table);
    std::memcpy(*copy, data, size_t(size));
    (*copy)[size] = 0;
    call.bytes_limit = size_t(size) + 1;
    return true;
}

bool length_fits(KT_INTERFACE *table, const call_state &call, DWORD length) {
    if (length <= call.bytes_limit) return true;
    return fail_bad_argument(table);
}

bool text_in(KT_INTERFACE *table, PyObject *item, bool need_list, text_item &text, char **out) {
    if (PyList_Check(item)) {
        text.list = item;
        text.lent[0] = '\0';
        *out = text.lent;
        return true;
    }
    if (need_list) return fail_bad_argument(table);
    *out = nullptr;
    PyObject *bytes = item;
    if (PyUnicode_Check(item)) {
        text.encoded = encode_text(item);
        if (!text.encoded) return fail_resource(table);
        bytes = text.encoded;
    } else if (!PyBytes_Check(item)) {
        return true;
    }
    if (holds_nul(bytes)) return fail_bad_argument(table);
    *out = PyBytes_AS_STRING(bytes);
    return true;
}

bool text_own_copy(KT_INTERFACE *table, text_item &text, char **out) {
    if (!*out || *out == text.lent) return true;
    const size_t size = strnlen(*out, sizeof text.lent);
    if (size == sizeof text.lent) return fail_bad_argument(table);
    std::memcpy(text.lent, *out, size + 1);
    *out = text.lent;
    return true;
}

bool text_out(KT_INTERFACE *table, text_item &text) {
    if (!text.list) return true;
    text.lent[sizeof text.lent - 1] = '\0';
    return put_output(table, text.list, decode_text(text.lent, std::strlen(text.lent)));
}

void text_release(text_item &text) {
    Py_CLEAR(text.encoded);
}

bool value_in(KT_INTERFACE *table, PyObject *item, unsigned int *value) {
    long small = 0;
    if (py::small_int(item, &small)) {
        *value = static_cast<unsigned int>(static_cast<unsigned long>(small));
        return true;
    }
    if (!py::big_int(item)) return fail_bad_argument(table);
    unsigned long long v = PyLong_AsUnsignedLongLong(item);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return fail_bad_argument(table);
    }
    *value = static_cast<unsigned int>(v);
    return true;
}

bool key_media_in(KT_INTERFACE *table, PyObject *item, KT_KEY_MEDIA *media) {
    std::memset(media, 0, sizeof *media);
    text_fault fault = text_fault::none;
    PyObject *snapshot = dictionary_snapshot(item);
    const bool read = snapshot && PyTuple_GET_SIZE(snapshot) == 3 && KeyMediaFromDictionary(snapshot, media, &fault);
    Py_XDECREF(snapshot);
    if (read && fault == text_fault::none) return true;
    std::memset(media, 0, sizeof *media);  // a failed read may have stored some of it, the password too
    return fault == text_fault::none || refuse_text(table, fault);
}

bool key_media_out(KT_INTERFACE *table, PyObject *item, const KT_KEY_MEDIA *media, bool reported) {
    if (reported) return put_record(table, item, media, KeyMediaToDictionary);
    if (PyDict_Check(item)) {
        PyObject *fresh = filled_dictionary(media, KeyMediaToDictionary);
        if (fresh && !replace_dictionary(table, item, fresh)) PyErr_Clear();  // not reported: no error left
    }
    return true;
}

bool user_info_in(KT_INTERFACE *table, PyObject *item, KT_USER_INFO *info, KT_USER_INFO **pass) {
    *pass = nullptr;
    if (!PyDict_Check(item)) return true;
    std::memset(info, 0, sizeof *info);
    text_fault fault = text_fault::none;
    const bool read = UserInfoFromDictionary(item, info, &fault);
    if (fault != text_fault::none) return refuse_text(table, fault);
    if (!read) return fail_bad_argument(table);
    *pass = info;
    return true;
}

bool byte_list_in(KT_INTERFACE *table, PyObject *item, byte_list &list) {
    if (!PyList_Check(item) || PyList_GET_SIZE(item) == 0) return fail_bad_argument(table);
    const size_t count = size_t(PyList_GET_SIZE(item));
    list.buffers = static_cast<unsigned char **>(std::calloc(count, sizeof *list.buffers));
    list.lengths = static_cast<DWORD *>(std::calloc(count, sizeof *list.lengths));
    if (!list.buffers || !list.lengths) return fail_resource(table);
    list.count = count;
    for (size_t i = 0; i < count; ++i) {
        PyObject *element = PyList_GET_ITEM(item, i);
        if (!PyBytes_Check(element)) return fail_bad_argument(table);
        const size_t size = size_t(PyBytes_GET_SIZE(element));
        list.buffers[i] = static_cast<unsigned char *>(std::malloc(size + 1));
        if (!list.buffers[i]) return fail_resource(table);
        std::memcpy(list.buffers[i], PyBytes_AS_STRING(element), size + 1);  // with its NUL
        list.lengths[i] = size + 1;
    }
    return true;
}

void byte_list_release(byte_list &list) {
    for (DWORD i = 0; list.buffers && i < list.count; ++i) std::free(list.buffers[i]);
    std::free(list.buffers);
    std::free(list.lengths);
    list = byte_list();
}

bool text_list_in(KT_INTERFACE *table, PyObject *item, char **multi) {
    if (!PyList_Check(item) || PyList_GET_SIZE(item) == 0) return fail_bad_argument(table);
    // The list's items as they are now, each held: encoding runs script code (a codec
    // lookup), which may change the list or free what it held.
    PyObject *snapshot = PyList_AsTuple(item);
    if (!snapshot) {
        PyErr_Clear();
        return fail_resource(table);
    }
    std::vector<PyObject *> texts;  // new references to byte strings
    auto release = [&texts, snapshot] {
        for (PyObject *t : texts) Py_DECREF(t);
        Py_DECREF(snapshot);
    };
    auto refuse = [&release, table](bool resource) {
        release();
        return resource ? fail_resource(table) : fail_bad_argument(table);
    };
    try {
        texts.reserve(size_t(PyTuple_GET_SIZE(snapshot)));
    } catch (...) {
        return refuse(true);
    }
    // The texts and the multi-string's size first, then what the texts hold. The library
    // reads the texts up to an empty one, and each up to its NUL: an element that is empty
    // or holds a NUL would hand it other texts than the list's, and is refused.
    size_t total = 1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(snapshot); ++i) {
        bool unencodable = false;
        PyObject *bytes = encode_text(PyTuple_GET_ITEM(snapshot, i), &unencodable);
        if (!bytes) return refuse(unencodable);
        texts.push_back(bytes);  // reserved: cannot throw
        const size_t size = size_t(PyBytes_GET_SIZE(bytes));
        if (size == 0) return refuse(false);
        if (size + 1 > SIZE_MAX - total) return refuse(true);
        total += size + 1;
    }
    for (PyObject *t : texts)
        if (holds_nul(t)) return refuse(false);
    char *buffer = static_cast<char *>(std::malloc(total));
    if (!buffer) return refuse(true);
    char *at = buffer;
    for (PyObject *t : texts) {
        std::memcpy(at, PyBytes_AS_STRING(t), size_t(PyBytes_GET_SIZE(t)) + 1);
        at += PyBytes_GET_SIZE(t) + 1;
    }
    *at = '\0';
    release();
    *multi = buffer;
    return true;
}

bool require_list(KT_INTERFACE *table, PyObject *item) {
    return PyList_Check(item) || fail_bad_argument(table);
}

bool random_count_in(KT_INTERFACE *table, PyObject *item, DWORD *count) {
    return number_value(item, count) || fail_bad_argument(table);
}

bool random_buffer(KT_INTERFACE *table, DWORD count, unsigned char **buffer) {
    *buffer = static_cast<unsigned char *>(std::malloc(count ? count : 1));
    return *buffer || fail_resource(table);
}

bool put_output(KT_INTERFACE *table, PyObject *list, PyObject *value) {
    if (!value) {
        PyErr_Clear();
        return fail_resource(table);
    }
    PyObject *fresh = PyList_New(1);
    if (!fresh) {
        Py_DECREF(value);
        PyErr_Clear();
        return fail_resource(table);
    }
    PyList_SET_ITEM(fresh, 0, value);
    return replace_list(table, list, fresh);
}

PyObject *text_value(const char *text) {
    return text ? PyBytes_FromString(text) : none();
}

PyObject *decoded_text_value(const char *text) {
    return text ? decode_text(text, std::strlen(text)) : none();
}

PyObject *bytes_value(const unsigned char *bytes, DWORD length) {
    if (!bytes) return none();
    if (length > DWORD(PY_SSIZE_T_MAX)) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes), Py_ssize_t(length));
}

PyObject *number_object(DWORD value) {
    return value <= LONG_MAX ? py::int_from_long(long(value)) : PyLong_FromUnsignedLong(value);
}

bool put_certificates(KT_INTERFACE *table, PyObject *list, DWORD count, unsigned char *const *certificates,
                      const DWORD *lengths) {
    if (!certificates || count == 0) return put_output(table, list, none());
    if (count > DWORD(PY_SSIZE_T_MAX)) return fail_resource(table);
    PyObject *fresh = PyList_New(Py_ssize_t(count));
    for (DWORD i = 0; fresh && i < count; ++i) {
        PyObject *value = lengths && certificates[i] ? bytes_value(certificates[i], lengths[i]) : nullptr;
        if (value) {
            PyList_SET_ITEM(fresh, Py_ssize_t(i), value);
        } else {
            Py_CLEAR(fresh);
        }
    }
    return replace_list(table, list, fresh);
}

bool replace_dictionary(KT_INTERFACE *table, PyObject *dict, PyObject *fresh) {
    // The old keys and values are held until the new ones are in: their __del__ would run
    // script code between the emptying and the filling. Filling an empty dictionary with
    // str keys runs none.
    PyObject *old = PyDict_Items(dict);
    const bool filled = old && (PyDict_Clear(dict), PyDict_Update(dict, fresh) == 0);
    Py_DECREF(fresh);
    if (!filled) PyErr_Clear();
    Py_XDECREF(old);
    return filled || fail_resource(table);
}

bool settings_item::bind(KT_INTERFACE *table, settings_verb verb, const settings_group &group, PyObject *item) {
    if (group.count > max_keys) return fail_bad_argument(table);
    table_ = table;
    item_ = item;
    keys_ = group.keys;
    count_ = group.count;
    writes_back_ = verb != settings_verb::set;

    if (verb != settings_verb::get && !PyDict_Check(item)) return fail_bad_argument(table);
    size_t reads = 0;
    if (verb == settings_verb::set) reads = count_;
    else if (verb == settings_verb::lookup) reads = 1;
    if (reads == 0) return true;
    // Every key is read from one snapshot: encoding a text runs script code (a codec lookup),
    // which may change the dictionary between two keys.
    PyObject *snapshot = dictionary_snapshot(item);
    if (!snapshot) return fail_resource(table);
    const bool read = read_values(snapshot, reads);
    Py_DECREF(snapshot);
    return read;
}

bool settings_item::read_values(PyObject *snapshot, size_t reads) {
    for (size_t i = 0; i < reads; ++i) {
        const settings_key &k = keys_[i];
        value &v = values_[i];
        bool ok = false;
        text_fault fault = text_fault::none;
        switch (k.what) {
        case flag: ok = GetDictionaryBool(snapshot, k.name, &v.flag); break;
        case number: ok = GetDictionaryInt(snapshot, k.name, &v.number); break;
        case text: ok = GetDictionaryString(snapshot, k.name, v.text, k.size, &fault); break;
        }
        if (fault != text_fault::none) return refuse_text(table_, fault);
        if (!ok) return fail_bad_argument(table_);
    }
    return true;
}

settings_item::kind settings_item::key_kind(size_t index) const {
    return keys_[index].what;
}

bool settings_item::write_back() {
    if (!writes_back_ || !PyDict_Check(item_)) return true;
    PyObject *fresh = PyDict_New();
    for (size_t i = 0; fresh && i < count_; ++i) {
        const settings_key &k = keys_[i];
        const value &v = values_[i];
        bool ok = false;
        switch (k.what) {
        case flag: ok = SetDictionaryBool(fresh, k.name, v.flag); break;
        case number: ok = SetDictionaryInt(fresh, k.name, v.number); break;
        case text: ok = SetDictionaryString(fresh, k.name, v.text, true); break;
        }
        if (!ok) Py_CLEAR(fresh);
    }
    if (!fresh) {
        PyErr_Clear();
        return fail_resource(table_);
    }
    return replace_dictionary(table_, item_, fresh);
}

void settings_item::terminate_texts() {
    for (size_t i = 0; i < count_; ++i)
        if (keys_[i].what == text) values_[i].text[keys_[i].size - 1] = '\0';
}

}  // namespace Tavrel
