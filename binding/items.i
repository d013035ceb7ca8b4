/* The item and result kinds of the KT_INTERFACE_<Name> wrappers, as typemaps.
 *
 * The wrapper declarations (generated from wrapper_kinds.txt) name each parameter after its
 * kind, so every typemap here is bound to a kind's parameter names and reaches nothing
 * else:
 *     DWORD KT_INTERFACE_SignData(KT_INTERFACE *iface, unsigned char *BYTES,
 *         DWORD LENGTH, char **TEXT_OUT, unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH);
 * and applies its result kind by the wrapper's name:
 *     %apply DWORD STATUS { DWORD KT_INTERFACE_SignData };
 *
 * What the items of one call share lives in its call state, the wrapper's local `call`:
 * whether the library was called (what it returned is released only then) and the size of
 * the last byte-string copy. The table is always arg1.
 *
 * Conversions run in item order and the first failure ends the call; outputs (argout) are
 * written after success only, in parameter order; releases (freearg) run on every path,
 * also at fail: before the library was called, so everything they touch starts null. */
%{
#include <cstdlib>
#include <cstring>

#include "converters.h"
#include "errors.h"
#include "items.h"

/* An output step failed: the result already made for the status is dropped, then fail. */
#define TAVREL_OUTPUT_FAIL    \
    do {                     \
        Py_CLEAR(resultobj); \
        SWIG_fail;           \
    } while (0)
%}

%include "kt_types.h"
/* The table argument: items.i extends its typemap with the call state below. SWIG reads a file
 * once, so this definition replaces table_arg.i's whatever the includer's order. */
%include "table_arg.i"

/* ---- the call state and the results ---- */

%typemap(arginit) KT_INTERFACE *iface %{ Tavrel::call_state call;
%}
/* The library is held before the table is converted (table_arg.i): script code can run from
 * then on, and may unload the library. */
%typemap(in) KT_INTERFACE *iface {
    call.hold_library();
    $1 = convert_table($input, "$symname");
    if (!$1) SWIG_fail;
}
/* The last step before the library call (checks run after every item, and no other check
 * runs script code): a call that finds the library unloaded since its table was converted
 * refuses the table and calls nothing. */
%typemap(check) KT_INTERFACE *iface {
    if (!Tavrel::library_attached($1)) {
        refuse_table("$symname");
        SWIG_fail;
    }
}

/* Each result kind runs right after the library call, so it marks the call made.
 * STATUS: None for 0, RuntimeError for any other status; ENUMERATION: True for 0, False
 * for 7, RuntimeError otherwise; TRUTH: True or False, never an error; NONE: None. */
%typemap(out) DWORD STATUS {
    call.called = true;
    $result = Tavrel::status_result(arg1, $1, false);
    if (!$result) SWIG_fail;
}
%typemap(out) DWORD ENUMERATION {
    call.called = true;
    $result = Tavrel::status_result(arg1, $1, true);
    if (!$result) SWIG_fail;
}
%typemap(out) BOOL TRUTH {
    call.called = true;
    $result = PyBool_FromLong($1);
}
%typemap(out) void NONE {
    call.called = true;
    $result = SWIG_Py_Void();
}

/* ---- number, length and flag ---- */

%define TAVREL_DWORD_IN(NAME, CHECK)
%typemap(in, fragment=SWIG_AsVal_frag(unsigned long)) DWORD NAME {
    int ecode = SWIG_AsVal_unsigned_SS_long($input, &$1);
    if (!SWIG_IsOK(ecode)) {
        SWIG_exception_fail(SWIG_ArgError(ecode), "in method '" "$symname" "', argument " "$argnum" " of type '" "$1_type" "'");
    }
    CHECK
}
%enddef

TAVREL_DWORD_IN(NUMBER, )
/* The length of the byte string before it may not exceed that string's copy. */
TAVREL_DWORD_IN(LENGTH, if (!Tavrel::length_fits(arg1, call, $1)) SWIG_fail;)

/* BOOL FLAG: SWIG's own int conversion, with 'BOOL' in its messages. */

/* ---- byte string ---- */

%typemap(in) unsigned char *BYTES {
    if (!Tavrel::bytes_in(arg1, $input, &$1, call)) SWIG_fail;
}
%typemap(freearg) unsigned char *BYTES "std::free($1);"

/* ---- text: a list lends a buffer (required for LENT_TEXT) ---- */

/* WRITTEN_TEXT: the library may write into the text, so a given text reaches it as a copy
 * in the item's own buffer, never as the script's string. */
%define TAVREL_TEXT_KIND(NAME, NEEDS_LIST, OWN_COPY)
%typemap(in) char *NAME (Tavrel::text_item text) {
    if (!Tavrel::text_in(arg1, $input, NEEDS_LIST, text, &$1)) SWIG_fail;
    if (OWN_COPY && !Tavrel::text_own_copy(arg1, text, &$1)) SWIG_fail;
}
%typemap(argout) char *NAME {
    if (!Tavrel::text_out(arg1, text$argnum)) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) char *NAME "Tavrel::text_release(text$argnum);"
%enddef

TAVREL_TEXT_KIND(TEXT, false, false)
TAVREL_TEXT_KIND(LENT_TEXT, true, false)
TAVREL_TEXT_KIND(WRITTEN_TEXT, false, true)

/* ---- outputs through pointers ---- */

/* A text the library allocates: a byte string (TEXT_OUT) or Unicode decoded from
 * Windows-1251 (DECODED_TEXT_OUT). */
%define TAVREL_TEXT_OUTPUT(NAME, VALUE)
%typemap(in) char **NAME (char *text = 0) {
    $1 = PyList_Check($input) ? &text : 0;
}
%typemap(argout) char **NAME {
    if ($1 && !Tavrel::put_output(arg1, $input, VALUE(text$argnum))) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) char **NAME {
    if (call.called && text$argnum) arg1->KTFreeMemory(reinterpret_cast<unsigned char *>(text$argnum));
}
%enddef

TAVREL_TEXT_OUTPUT(TEXT_OUT, Tavrel::text_value)
TAVREL_TEXT_OUTPUT(DECODED_TEXT_OUT, Tavrel::decoded_text_value)

%typemap(in) (unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH) (unsigned char *bytes = 0, DWORD length = 0) {
    $1 = PyList_Check($input) ? &bytes : 0;
    $2 = &length;
}
%typemap(argout) (unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH) {
    if ($1 && !Tavrel::put_output(arg1, $input, Tavrel::bytes_value(bytes$argnum, length$argnum))) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) (unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH) {
    if (call.called && bytes$argnum) arg1->KTFreeMemory(bytes$argnum);
}

%typemap(in) DWORD *NUMBER_OUT (DWORD number = 0) {
    $1 = PyList_Check($input) ? &number : 0;
}
%typemap(argout) DWORD *NUMBER_OUT {
    if ($1 && !Tavrel::put_output(arg1, $input, Tavrel::number_object(number$argnum))) TAVREL_OUTPUT_FAIL;
}

%typemap(in) BOOL *FLAG_OUT (BOOL flag = 0) {
    $1 = PyList_Check($input) ? &flag : 0;
}
%typemap(argout) BOOL *FLAG_OUT {
    if ($1 && !Tavrel::put_output(arg1, $input, PyBool_FromLong(flag$argnum))) TAVREL_OUTPUT_FAIL;
}

/* ---- handles ---- */

%types(void *);

/* A new handle, handed back in a list that must be given. A handle that the library made
 * but the script never received (its list could not take it, or an earlier output failed)
 * is released with RELEASE. */
%define TAVREL_HANDLE_OUTPUT(NAME, RELEASE)
%typemap(in) PVOID *NAME (PVOID handle = 0, bool handed = false) {
    if (!Tavrel::require_list(arg1, $input)) SWIG_fail;
    $1 = &handle;
}
%typemap(argout) PVOID *NAME {
    PyObject *object = handle$argnum ? SWIG_NewPointerObj(handle$argnum, SWIGTYPE_p_void, 0) : SWIG_Py_Void();
    handed$argnum = Tavrel::put_output(arg1, $input, object);
    if (!handed$argnum) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) PVOID *NAME {
    if (handle$argnum && !handed$argnum) arg1->RELEASE(handle$argnum);
}
%enddef

TAVREL_HANDLE_OUTPUT(CONTEXT_OUT, KTCtxFree)
TAVREL_HANDLE_OUTPUT(PRIVATE_KEY_OUT, KTCtxFreePrivateKey)
TAVREL_HANDLE_OUTPUT(SESSION_OUT, KTSessionDestroy)

/* Any pointer object of the module, unchecked; None for no handle. What the object gave is
 * kept until the call ends. */
%typemap(in) PVOID HANDLE (PyObject *held = 0) {
    if (!SWIG_IsOK(convert_pointer_once($input, &$1, 0, 0, &held))) {
        SWIG_exception_fail(SWIG_TypeError, "in method '" "$symname" "', argument " "$argnum" " of type '" "$1_type" "'");
    }
}
%typemap(freearg) PVOID HANDLE "Py_XDECREF(held$argnum);"

/* ---- time ---- */

/* A live SYSTEMTIME record or view (ConvertTavrelRecord, records.i), or None; what its
 * object gave is kept until the call ends, and the record must still be live then. */
%typemap(in) PSYSTEMTIME TIME (PyObject *held = 0, uint64_t entry = 0) {
    void *time = 0;
    if ($input != Py_None &&
        !SWIG_IsOK(ConvertTavrelRecord($input, &time, $descriptor(_SYSTEMTIME *), sizeof(SYSTEMTIME), &held, &entry))) {
        SWIG_exception_fail(SWIG_TypeError, "in method '" "$symname" "', argument " "$argnum" " of type '" "$1_type" "'");
    }
    $1 = static_cast<PSYSTEMTIME>(time);
}
%typemap(check) PSYSTEMTIME TIME {
    if ($1 && !still_live($1, sizeof(SYSTEMTIME), entry$argnum)) {
        SWIG_exception_fail(SWIG_TypeError, "in method '" "$symname" "', argument " "$argnum" " of type '" "$1_type" "'");
    }
}
%typemap(freearg) PSYSTEMTIME TIME "Py_XDECREF(held$argnum);"

/* ---- value: a 32-bit integer passed by address with its size ---- */

%typemap(in) (PVOID VALUE, DWORD VALUE_SIZE) (unsigned int value = 0) {
    if (!Tavrel::value_in(arg1, $input, &value)) SWIG_fail;
    $1 = &value;
    $2 = sizeof value;
}

/* ---- records ---- */

/* A record the library fills: the wrapper's own, zeroed whole; released only once the
 * library was called. */
%define TAVREL_FILLED_RECORD(TYPE, NAME, RECORD, CONVERTER, RELEASE)
%typemap(in) TYPE NAME (RECORD record) {
    std::memset(&record, 0, sizeof record);
    $1 = &record;
}
%typemap(argout) TYPE NAME {
    if (!Tavrel::put_record(arg1, $input, $1, CONVERTER)) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) TYPE NAME {
    if (call.called) arg1->RELEASE($1);
}
%enddef

/* A record the library makes and returns through a pointer, always asked for. */
%define TAVREL_RETURNED_RECORD(TYPE, NAME, RECORD, CONVERTER, RELEASE)
%typemap(in) TYPE NAME (RECORD *record = 0) {
    $1 = &record;
}
%typemap(argout) TYPE NAME {
    if (!Tavrel::put_record(arg1, $input, record$argnum, CONVERTER)) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) TYPE NAME {
    if (call.called && record$argnum) arg1->RELEASE(record$argnum);
}
%enddef

TAVREL_FILLED_RECORD(PKT_CERT_OWNER_INFO, OWNER, KT_CERT_OWNER_INFO, CertOwnerInfoToDictionary, KTFreeCertOwnerInfo)
TAVREL_FILLED_RECORD(PKT_SIGN_INFO, SIGNER, KT_SIGN_INFO, SignInfoToDictionary, KTFreeSignInfo)
TAVREL_FILLED_RECORD(PKT_ENVELOP_INFO, SENDER, KT_ENVELOP_INFO, SignInfoToDictionary, KTFreeSenderInfo)
TAVREL_FILLED_RECORD(PKT_CERT_INFO, CERTIFICATE_INFO, KT_CERT_INFO, CertInfoToDictionary, KTFreeCertificateInfo)
TAVREL_RETURNED_RECORD(PKT_CERT_INFO_EX *, CERTIFICATE_INFO_EX, KT_CERT_INFO_EX, CertInfoExToDictionary, KTFreeCertificateInfoEx)
TAVREL_RETURNED_RECORD(KT_CR_INFO **, REQUEST_INFO, KT_CR_INFO, CrInfoToDictionary, KTFreeCRInfo)

/* ---- key medium and user information ---- */

/* KEY_MEDIUM_QUIET: a write-back that fails is not reported; the dictionary stays as the
 * script passed it, and the call goes on with the outputs after it. */
%define TAVREL_KEY_MEDIUM_KIND(NAME, REPORTED)
%typemap(in) PKT_KEY_MEDIA NAME (KT_KEY_MEDIA media) {
    if (!Tavrel::key_media_in(arg1, $input, &media)) SWIG_fail;
    $1 = &media;
}
%typemap(argout) PKT_KEY_MEDIA NAME {
    if (!Tavrel::key_media_out(arg1, $input, $1, REPORTED)) TAVREL_OUTPUT_FAIL;
}
%enddef

TAVREL_KEY_MEDIUM_KIND(KEY_MEDIUM, true)
TAVREL_KEY_MEDIUM_KIND(KEY_MEDIUM_QUIET, false)

%typemap(in) PKT_USER_INFO USER_INFO (KT_USER_INFO info) {
    if (!Tavrel::user_info_in(arg1, $input, &info, &$1)) SWIG_fail;
}
%typemap(argout) PKT_USER_INFO USER_INFO {
    if ($1 && !Tavrel::put_record(arg1, $input, $1, UserInfoToDictionary)) TAVREL_OUTPUT_FAIL;
}

/* ---- lists in ---- */

/* A list of byte strings: the count, the copies and their lengths. */
%typemap(in) (DWORD BYTES_COUNT, unsigned char **BYTES_LIST, DWORD *BYTES_LENGTHS) (Tavrel::byte_list list) {
    if (!Tavrel::byte_list_in(arg1, $input, list)) SWIG_fail;
    $1 = list.count;
    $2 = list.buffers;
    $3 = list.lengths;
}
%typemap(freearg) (DWORD BYTES_COUNT, unsigned char **BYTES_LIST, DWORD *BYTES_LENGTHS) {
    Tavrel::byte_list_release(list$argnum);
}

/* A list of texts as one multi-string. */
%typemap(in) char *TEXT_LIST {
    if (!Tavrel::text_list_in(arg1, $input, &$1)) SWIG_fail;
}
%typemap(freearg) char *TEXT_LIST "std::free($1);"

/* ---- settings dictionary: every parameter of a settings getter or setter ---- */

/* The declaration names the group (Tavrel::settings_groups) as the name of the int that
 * follows the item; the generated function passes the group's values to the library. */
%define TAVREL_SETTINGS_KIND(NAME, VERB)
%typemap(in) (void *NAME, int) (Tavrel::settings_item settings) {
    if (!settings.bind(arg1, Tavrel::settings_verb::VERB, Tavrel::settings_groups::$2_name, $input)) SWIG_fail;
    $1 = &settings;
    $2 = 0;
}
%typemap(argout) (void *NAME, int) {
    if (!settings$argnum.write_back()) TAVREL_OUTPUT_FAIL;
}
%enddef

TAVREL_SETTINGS_KIND(SETTINGS_GET, get)
TAVREL_SETTINGS_KIND(SETTINGS_SET, set)
TAVREL_SETTINGS_KIND(SETTINGS_ENUMERATE, enumerate)
TAVREL_SETTINGS_KIND(SETTINGS_LOOKUP, lookup)

/* ---- certificate array output ---- */

%typemap(in) (DWORD *CERTIFICATES_COUNT, unsigned char ***CERTIFICATES, DWORD **CERTIFICATES_LENGTHS)
             (DWORD count = 0, unsigned char **certificates = 0, DWORD *lengths = 0) {
    const bool requested = PyList_Check($input);
    $1 = &count;
    $2 = requested ? &certificates : 0;
    $3 = requested ? &lengths : 0;
}
%typemap(argout) (DWORD *CERTIFICATES_COUNT, unsigned char ***CERTIFICATES, DWORD **CERTIFICATES_LENGTHS) {
    if ($2 && !Tavrel::put_certificates(arg1, $input, count$argnum, certificates$argnum, lengths$argnum)) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) (DWORD *CERTIFICATES_COUNT, unsigned char ***CERTIFICATES, DWORD **CERTIFICATES_LENGTHS) {
    if (call.called && (certificates$argnum || lengths$argnum))
        arg1->KTFreeCertificatesArray(count$argnum, certificates$argnum, lengths$argnum);
}

/* ---- random bytes: an output list sized by the count that follows it ---- */

%typemap(in) unsigned char *RANDOM_BYTES {
    if (!Tavrel::require_list(arg1, $input)) SWIG_fail;
}
%typemap(in) DWORD RANDOM_COUNT {
    if (!Tavrel::random_count_in(arg1, $input, &$1)) SWIG_fail;
}
%typemap(check) (unsigned char *RANDOM_BYTES, DWORD RANDOM_COUNT) {
    if (!Tavrel::random_buffer(arg1, $2, &$1)) SWIG_fail;
}
%typemap(argout) (unsigned char *RANDOM_BYTES, DWORD RANDOM_COUNT) {
    if (!Tavrel::put_output(arg1, $input, Tavrel::bytes_value($1, $2))) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) unsigned char *RANDOM_BYTES "std::free($1);"
