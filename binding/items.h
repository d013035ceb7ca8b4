/* The item kinds of the KT_INTERFACE_<Name> wrappers: how a script's argument becomes a
 * library argument before the call, and how a result reaches the script after it. The
 * typemaps of items.i call these; every failure here raises the Python exception itself
 * (TypeError with the error dictionary of code 2 or 6) and returns false.
 *
 * Callers hold the interpreter lock. */
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>
#include <utility>

#include "Tavrel.h"
#include "errors.h"
#include "kt_api.h"
#include "library_hold.h"

namespace Tavrel {

/* Whether table is the loaded library's: false once KTUnload detached it, even while a call
 * in flight keeps it mapped. Only the releases may then still run through it. */
inline bool library_attached(const KT_INTERFACE *table) {
    return table && table == KTGetInterface();
}

/* The table to ask for an error's text: none once the library is detached. */
inline KT_INTERFACE *error_table(KT_INTERFACE *table) {
    return library_attached(table) ? table : nullptr;
}

/* What one wrapper call knows across its items. */
struct call_state {
    call_state() = default;
    call_state(const call_state &) = delete;
    call_state &operator=(const call_state &) = delete;
    ~call_state() {
        if (holds_library) release_library();
    }

    /* Keeps the library mapped until the call ends (library_hold.h). */
    void hold_library() {
        if (holds_library) return;
        Tavrel::hold_library();
        holds_library = true;
    }

    bool called = false;     // the library function was called: what it returns is released
    size_t bytes_limit = 0;  // the last byte-string copy's size: the largest length it may have
    bool holds_library = false;
};

/* ---- results ---- */

/* A status: None for 0; in a key-media enumeration True for 0 and False for 7; any other
 * status raises RuntimeError with its error dictionary (null returned). */
PyObject *status_result(KT_INTERFACE *table, DWORD status, bool enumeration);

/* ---- inputs ---- */

/* An int from 0 or a long below 2^64 (True and False count), as the number items take. */
bool number_value(PyObject *item, DWORD *value);

/* Byte string: a copy of a byte string with a NUL appended (None: an empty one). */
bool bytes_in(KT_INTERFACE *table, PyObject *item, unsigned char **copy, call_state &call);
/* The length item right after a byte string must not exceed the copy: code 2 otherwise. */
bool length_fits(KT_INTERFACE *table, const call_state &call, DWORD length);

/* Text: a byte string as it is, Unicode encoded Windows-1251 (code 6 when it does not
 * encode), None or another object a null text, a list the lent buffer (required when
 * need_list). A text holding a NUL is refused with code 2: the library would read only what
 * comes before it. After success a list receives the buffer's text decoded. */
struct text_item {
    PyObject *list = nullptr;     // the output list, borrowed
    PyObject *encoded = nullptr;  // owned: the encoded form of a Unicode text
    char lent[KT_SIGNER_INFO_MAX_LENGTH];
};
bool text_in(KT_INTERFACE *table, PyObject *item, bool need_list, text_item &text, char **out);
/* A text that text_in passed (*out not null, not the lent buffer) copied into the lent
 * buffer, for a library that may write into it; a text that does not fit raises code 2. */
bool text_own_copy(KT_INTERFACE *table, text_item &text, char **out);
bool text_out(KT_INTERFACE *table, text_item &text);
void text_release(text_item &text);

/* Value: an int taken modulo 2^32, or a long below 2^64 taken modulo 2^32; code 2 else. */
bool value_in(KT_INTERFACE *table, PyObject *item, unsigned int *value);

/* Key medium: a dictionary of exactly "dwTypeIndex", "dwDevIndex" and "szPassword" that
 * converts; anything else stands for the zeroed medium. Such a dictionary whose password
 * holds a NUL is refused with code 2, one whose password does not encode with code 6. */
bool key_media_in(KT_INTERFACE *table, PyObject *item, KT_KEY_MEDIA *media);
/* After success a dictionary item is refilled with the medium. A failure raises code 6 when
 * reported; else it leaves no error. Either way the dictionary then stays as it was. */
bool key_media_out(KT_INTERFACE *table, PyObject *item, const KT_KEY_MEDIA *media, bool reported);

/* User information: a dictionary converts (code 2 if it does not, or a text holds a NUL;
 * code 6 if a text does not encode); anything else: none. */
bool user_info_in(KT_INTERFACE *table, PyObject *item, KT_USER_INFO *info, KT_USER_INFO **pass);

/* List of byte strings: copies with a NUL each, their count and lengths (the NUL counted). */
struct byte_list {
    DWORD count = 0;
    unsigned char **buffers = nullptr;
    DWORD *lengths = nullptr;
};
bool byte_list_in(KT_INTERFACE *table, PyObject *item, byte_list &list);
void byte_list_release(byte_list &list);

/* List of texts: one multi-string, each text and its NUL in order, then one more NUL. An
 * empty text would end the multi-string and a text holding a NUL would split it: either is
 * refused like an element of the wrong kind (code 2). */
bool text_list_in(KT_INTERFACE *table, PyObject *item, char **multi);

/* A list required (handle outputs, the random-bytes output): code 2 otherwise. */
bool require_list(KT_INTERFACE *table, PyObject *item);

/* The count of random bytes: a number item whose failure raises code 2; then the buffer. */
bool random_count_in(KT_INTERFACE *table, PyObject *item, DWORD *count);
bool random_buffer(KT_INTERFACE *table, DWORD count, unsigned char **buffer);

/* ---- outputs ----
 *
 * Each output is made whole before it is written: an output that fails leaves its list or
 * dictionary as the script passed it. */

/* Replaces what list holds with value alone, a new reference (code 6 when value is null or
 * cannot be put in a list, code 2 when the list cannot be emptied). */
bool put_output(KT_INTERFACE *table, PyObject *list, PyObject *value);

/* New values for output lists; None for a null pointer; null when they cannot be made. */
PyObject *text_value(const char *text);
PyObject *decoded_text_value(const char *text);  // Unicode decoded from Windows-1251
PyObject *bytes_value(const unsigned char *bytes, DWORD length);
PyObject *number_object(DWORD value);

/* A new dictionary filled by convert, null (no error left) when it cannot be. */
template <class Record>
PyObject *filled_dictionary(const Record *record, bool (*convert)(PyObject *, const Record *));

/* Gives dict the entries of fresh (a new dictionary, dropped) in place of its own, in one
 * step as scripts see it: no script code runs between the emptying and the filling, and the
 * old entries are released after it. Code 6 without memory: before the emptying the
 * dictionary stays as it was, after it, it may be left part filled. */
bool replace_dictionary(KT_INTERFACE *table, PyObject *dict, PyObject *fresh);

/* A record output: a dictionary item is emptied and filled by convert (code 6 if it
 * fails); another object is left alone. */
template <class Record>
bool put_record(KT_INTERFACE *table, PyObject *item, const Record *record,
                bool (*convert)(PyObject *, const Record *));

/* Certificate array output: one byte string per certificate, or a single None when the
 * library returned no array or no certificate. */
bool put_certificates(KT_INTERFACE *table, PyObject *list, DWORD count, unsigned char *const *certificates,
                      const DWORD *lengths);

/* ---- settings ---- */

/* How a settings wrapper treats its dictionary:
 * - get: any object; after success a dictionary is refilled with every setting;
 * - set: a dictionary holding every setting, read before the call;
 * - enumerate: a dictionary, refilled after success;
 * - lookup: a dictionary whose first setting (the key looked up) is read before the call,
 *   refilled after success. */
enum class settings_verb { get, set, enumerate, lookup };

/* The settings of one group, in the order of the library's parameters. */
struct settings_key;
struct settings_group {
    const settings_key *keys;
    size_t count;
};
namespace settings_groups {
extern const settings_group file_store, proxy, ocsp, tsp, ldap, cmp, mode, access_info_mode, access_info;
}

/* The settings dictionary of a settings wrapper. */
class settings_item {
public:
    enum kind { flag, number, text };

    /* Checks the item and reads what the verb reads, from one snapshot of the dictionary;
     * code 2 on failure, a text holding a NUL or longer than its field included, and code 6
     * for a text that does not encode. */
    bool bind(KT_INTERFACE *table, settings_verb verb, const settings_group &group, PyObject *item);

    /* Calls a getter or setter with one argument per key, in the group's order. */
    template <class... P>
    DWORD call(DWORD (*function)(P...)) {
        return invoke(function, std::index_sequence_for<P...>());
    }
    /* The enumeration, whose index comes first. */
    template <class... P>
    DWORD call(DWORD (*function)(DWORD, P...), DWORD index) {
        return invoke_at(function, index, std::index_sequence_for<P...>());
    }

    /* After success: getters and the enumeration refill a dictionary item; code 6 if a
     * value cannot be made. */
    bool write_back();

private:
    static constexpr size_t max_keys = 8;
    struct value {
        BOOL flag;
        DWORD number;
        char text[KT_PATH_MAX_LENGTH];
    };

    template <class P>
    static constexpr kind kind_of() {
        if constexpr (std::is_same_v<P, BOOL> || std::is_same_v<P, BOOL *>) return flag;
        else if constexpr (std::is_same_v<P, DWORD> || std::is_same_v<P, DWORD *>) return number;
        else return text;
    }
    template <class P>
    static P pass(value &v) {
        if constexpr (std::is_same_v<P, BOOL *>) return &v.flag;
        else if constexpr (std::is_same_v<P, BOOL>) return v.flag;
        else if constexpr (std::is_same_v<P, DWORD *>) return &v.number;
        else if constexpr (std::is_same_v<P, DWORD>) return v.number;
        else return v.text;
    }
    template <class... P, size_t... I>
    bool matches(std::index_sequence<I...>) const {
        return sizeof...(P) == count_ && ((kind_of<P>() == key_kind(I)) && ...);
    }
    kind key_kind(size_t index) const;
    bool read_values(PyObject *snapshot, size_t reads);  // the first reads keys, as bind
    template <class... P, size_t... I>
    DWORD invoke(DWORD (*function)(P...), std::index_sequence<I...> order) {
        if (!matches<P...>(order)) return KT_ERROR_BAD_PARAMETER;  // the group does not fit the call
        DWORD status = function(pass<P>(values_[I])...);
        terminate_texts();
        return status;
    }
    template <class... P, size_t... I>
    DWORD invoke_at(DWORD (*function)(DWORD, P...), DWORD index, std::index_sequence<I...> order) {
        if (!matches<P...>(order)) return KT_ERROR_BAD_PARAMETER;
        DWORD status = function(index, pass<P>(values_[I])...);
        terminate_texts();
        return status;
    }
    void terminate_texts();

    KT_INTERFACE *table_ = nullptr;
    PyObject *item_ = nullptr;
    const settings_key *keys_ = nullptr;
    size_t count_ = 0;
    bool writes_back_ = false;
    value values_[max_keys] = {};
};

template <class Record>
PyObject *filled_dictionary(const Record *record, bool (*convert)(PyObject *, const Record *)) {
    PyObject *fresh = PyDict_New();
    if (fresh && convert(fresh, record)) return fresh;
    Py_XDECREF(fresh);
    PyErr_Clear();
    return nullptr;
}

template <class Record>
bool put_record(KT_INTERFACE *table, PyObject *item, const Record *record,
                bool (*convert)(PyObject *, const Record *)) {
    if (!PyDict_Check(item)) return true;
    PyObject *fresh = filled_dictionary(record, convert);
    if (fresh) return replace_dictionary(table, item, fresh);
    raise_resource_failed(error_table(table));
    return false;
}

}  // namespace Tavrel
