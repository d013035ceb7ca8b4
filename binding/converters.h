/* Records to dictionaries and back, and the dictionary access functions they stand on.
 *
 * Every converter is driven by the record's field table (kt_record_fields.h): texts become
 * Unicode decoded from Windows-1251 (strict; a null text becomes None), int fields True or
 * False, DWORD and WORD fields exact integers, unsigned long long fields exact integers,
 * SYSTEMTIME fields nested dictionaries of their eight members. Dictionaries are filled in
 * field order under the field names and are not emptied first.
 *
 * Nothing here raises: each function reports failure through its result and leaves no
 * Python error pending. Callers hold the interpreter lock. */
#pragma once

#include <Python.h>

#include "kt_api.h"
#include "kt_record_fields.h"

namespace Tavrel {

/* Why a text read from a dictionary would not reach the library as the script gave it: it
 * holds a NUL (the library would read only what comes before it), it is Unicode that
 * Windows-1251 cannot encode, or it is longer than its field holds. */
enum class text_fault { none, nul, unencodable, too_long };

}  // namespace Tavrel

/* dict[key] = the text decoded from Windows-1251 (decode) or its bytes (not decode); None
 * for a null text. False when the value cannot be made or stored. */
bool SetDictionaryString(PyObject *dict, const char *key, const char *text, bool decode);

/* dict[key] = value, exactly (an int up to 2^63 - 1, a long above). */
bool SetDictionaryInt(PyObject *dict, const char *key, DWORD value);
bool SetDictionaryDwordLong(PyObject *dict, const char *key, unsigned long long value);

/* dict[key] = True for a non-zero value, False for 0. */
bool SetDictionaryBool(PyObject *dict, const char *key, long value);

/* The three readers below read dict, a dictionary or a snapshot of one (dictionary_snapshot),
 * and find a key under its name as the interpreter's str (Python 2.7: also its unicode);
 * under Python 3 also as bytes (Python 2.7's str), the str key's value first when a
 * dictionary holds both. Keys are matched by their characters: no script code runs.
 *
 * Reads a text (a byte string as it is, Unicode encoded Windows-1251, strict) into a buffer
 * of size bytes: its bytes before its first NUL, the rest zero-filled. False when the key is
 * absent, the value is no such text (None included) or longer than size - 1 bytes; the
 * buffer is then untouched. *fault (when given and still none) tells a text holding a NUL
 * (read all the same), a Unicode text that does not encode (false) and a text too long for
 * the buffer (false). */
bool GetDictionaryString(PyObject *dict, const char *key, char *buffer, size_t size,
                         Tavrel::text_fault *fault = nullptr);

/* Reads an int or long (True and False count) from 0 to 2^64 - 1; out untouched on failure. */
bool GetDictionaryInt(PyObject *dict, const char *key, DWORD *out);

/* Reads exactly True or False as 1 or 0; an integer does not do. */
bool GetDictionaryBool(PyObject *dict, const char *key, BOOL *out);

/* The record-to-dictionary converters: NAME(dict, record) writes one key per field of
 * RECORD; false at the first value that cannot be made (the keys written so far stay) or
 * for a null record. "dwVersion" of KT_USER_INFO is the low 32 bits of the field read as a
 * signed number. */
#define TAVREL_RECORD_CONVERTERS(X)                                \
    X(SystemTimeToDictionary, SYSTEMTIME)                          \
    X(CertOwnerInfoToDictionary, KT_CERT_OWNER_INFO)               \
    X(SignInfoToDictionary, KT_SIGN_INFO)                          \
    X(CrlInfoToDictionary, KT_CRL_INFO)                            \
    X(CertInfoToDictionary, KT_CERT_INFO)                          \
    X(CertInfoExToDictionary, KT_CERT_INFO_EX)                     \
    X(CrlDetailedInfoToDictionary, KT_CRL_DETAILED_INFO)           \
    X(CrInfoToDictionary, KT_CR_INFO)                              \
    X(UserParamsToDictionary, KT_USER_PARAMS)                      \
    X(SccStatisticToDictionary, KT_SCC_STATISTIC)                  \
    X(TimeInfoToDictionary, KT_TIME_INFO)                          \
    X(KeyMediaDeviceInfoToDictionary, KT_KEY_MEDIA_DEVICE_INFO)    \
    X(SsSignHashResultToDictionary, KT_SS_SIGN_HASH_RESULT)        \
    X(KeyMediaToDictionary, KT_KEY_MEDIA)                          \
    X(UserInfoToDictionary, KT_USER_INFO)

#define TAVREL_DECLARE_CONVERTER(NAME, RECORD) bool NAME(PyObject *dict, const RECORD *record);
TAVREL_RECORD_CONVERTERS(TAVREL_DECLARE_CONVERTER)
#undef TAVREL_DECLARE_CONVERTER

/* Appends one dictionary per certificate of the array, in order (CertInfoExToDictionary).
 * False at the first certificate that cannot be converted or appended (a null one
 * included); the items appended so far stay. */
bool CertificatesToList(PyObject *list, const KT_CERTIFICATES *certificates);

/* Dictionary (or snapshot) to record, read from one snapshot of it: every key of the record
 * is required; DWORD fields take a non-negative integer, text fields a text of at most the
 * field's size less one byte. False at the first key that is missing or fails; fields read
 * before it keep their new values. *fault (when given) reports the first faulty text, as
 * GetDictionaryString does. */
bool KeyMediaFromDictionary(PyObject *dict, KT_KEY_MEDIA *record, Tavrel::text_fault *fault = nullptr);
bool UserInfoFromDictionary(PyObject *dict, KT_USER_INFO *record, Tavrel::text_fault *fault = nullptr);

namespace Tavrel {

/* The engines under the named converters, for a record described by its field table. */
bool record_to_dictionary(PyObject *dict, const void *record, const kt_records::kt_field *fields, size_t count);
bool record_from_dictionary(PyObject *dict, void *record, const kt_records::kt_field *fields, size_t count,
                            text_fault *fault = nullptr);

/* A snapshot of a dictionary: a new tuple of (key, value) pairs, taken without running
 * script code, so that what is read from it afterwards (conversions may run script code)
 * is what the dictionary held at one moment. Null, no error pending, for anything but a
 * dictionary or without memory. */
PyObject *dictionary_snapshot(PyObject *dict);

/* source itself when it is a snapshot (an exact tuple), else dictionary_snapshot(source): a
 * new reference or null. */
PyObject *held_snapshot(PyObject *source);

/* Text decoded from Windows-1251 (strict) as a new Unicode object, null on failure with no
 * error pending. */
PyObject *decode_text(const char *text, size_t length);

/* A text's bytes in Windows-1251, as a new reference to a byte string: a byte string
 * itself, Unicode encoded strictly. Null, with no error pending, for any other object or an
 * encoding failure; *unencodable (when given) tells the two apart. */
PyObject *encode_text(PyObject *text, bool *unencodable = nullptr);

/* Whether a byte string holds a NUL: as a text, the library would read only what comes
 * before it. */
bool holds_nul(PyObject *bytes);

}  // namespace Tavrel
