/* The item and result kinds of the KT_INTERFACE_<Name> wrappers as typemaps, and the macros
 * that declare wrappers.
 *
 * A wrapper is declared with the library function's exact parameters after the table:
 *     TAVREL_WRAPPER(DWORD, SignData, (KT_INTERFACE *iface, unsigned char *pbData, ...))
 * and the declarations end with TAVREL_END_OF_WRAPPERS. Kinds of one parameter follow from
 * its type. Kinds that span several parameters are applied by the parameters' names, as
 * SWIG matches such groups by name only:
 *     %apply (unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH) {
 *         (unsigned char **ppbSign, DWORD *pdwSignLength) };
 *     %apply (DWORD BYTES_COUNT, unsigned char **BYTES_LIST, DWORD *BYTES_LENGTHS) { ... };
 *     %apply char *TEXT_LIST { char *pszRecipientCertIssuers };
 *
 * What the items of one call share lives in its call state, tavrel_call: whether the library
 * was called (what it returned is released only then) and the size of the last byte-string
 * copy. The table is always arg1.
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

/* The library function behind a wrapper, called through the table's slot. */
#define TAVREL_FORWARDER(NAME)                                               \
    template <class... A>                                                    \
    static inline auto KT_INTERFACE_##NAME(KT_INTERFACE *iface, A... args) { \
        return iface->KT##NAME(args...);                                     \
    }
%}

%include "kt_types.h"

/* ---- declarations ---- */

%define TAVREL_WRAPPER(RESULT, NAME, PARAMETERS)
%{ TAVREL_FORWARDER(NAME) %}
RESULT KT_INTERFACE_##NAME PARAMETERS;
%enddef

/* A settings getter or setter: one settings dictionary for all the function's parameters. */
%define TAVREL_SETTINGS_WRAPPER(NAME)
%{
static inline DWORD KT_INTERFACE_##NAME(KT_INTERFACE *iface, Tavrel::settings_item *settings) {
    return settings->call(iface->KT##NAME);
}
%}
DWORD KT_INTERFACE_##NAME(KT_INTERFACE *iface, Tavrel::settings_item *settings);
%enddef

/* The enumeration of OCSP access points: an index, then the settings dictionary. */
%define TAVREL_INDEXED_SETTINGS_WRAPPER(NAME)
%{
static inline DWORD KT_INTERFACE_##NAME(KT_INTERFACE *iface, DWORD dwIndex, Tavrel::settings_item *settings) {
    return settings->call(iface->KT##NAME, dwIndex);
}
%}
DWORD KT_INTERFACE_##NAME(KT_INTERFACE *iface, DWORD dwIndex, Tavrel::settings_item *settings);
%enddef

/* ---- the call state and the table ---- */

%typemap(arginit) KT_INTERFACE *iface %{ Tavrel::call_state tavrel_call;
%}

%exception {
    $action
    tavrel_call.called = true;
}

/* ---- results ---- */

%typemap(out) DWORD {
    $result = Tavrel::status_result(arg1, $1, Tavrel::is_key_media_enumeration("$symname"));
    if (!$result) SWIG_fail;
}
%typemap(out) BOOL {
    $result = PyBool_FromLong($1);
}

/* ---- number and flag ---- */

/* BOOL: SWIG's own int conversion ('BOOL' in its messages). DWORD: SWIG's own, and a
 * length right after a byte string may not exceed that string's copy. */
%typemap(in, fragment=SWIG_AsVal_frag(unsigned long)) DWORD {
    int ecode = SWIG_AsVal_unsigned_SS_long($input, &$1);
    if (!SWIG_IsOK(ecode)) {
        SWIG_exception_fail(SWIG_ArgError(ecode), "in method '" "$symname" "', argument " "$argnum" " of type '" "$1_type" "'");
    }
    if (!Tavrel::length_fits(arg1, tavrel_call, $argnum, $1)) SWIG_fail;
}

/* ---- byte string ---- */

%typemap(in) unsigned char * {
    if (!Tavrel::bytes_in(arg1, $input, &$1, tavrel_call, $argnum)) SWIG_fail;
}
%typemap(freearg) unsigned char * "std::free($1);"

/* ---- text ---- */

%typemap(in) char * (Tavrel::text_item text) {
    if (!Tavrel::text_in(arg1, $input, Tavrel::text_needs_list("$symname"), text, &$1)) SWIG_fail;
}
%typemap(argout) char * {
    if (!Tavrel::text_out(arg1, text$argnum)) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) char * "Tavrel::text_release(text$argnum);"

/* ---- outputs through pointers ---- */

%typemap(in) char ** (char *text = 0) {
    $1 = PyList_Check($input) ? &text : 0;
}
%typemap(argout) char ** {
    if ($1 && !Tavrel::put_output(arg1, $input, Tavrel::text_value(text$argnum))) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) char ** {
    if (tavrel_call.called && text$argnum) arg1->KTFreeMemory(reinterpret_cast<unsigned char *>(text$argnum));
}

%typemap(in) (unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH) (unsigned char *bytes = 0, DWORD length = 0) {
    $1 = PyList_Check($input) ? &bytes : 0;
    $2 = &length;
}
%typemap(argout) (unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH) {
    if ($1 && !Tavrel::put_output(arg1, $input, Tavrel::bytes_value(bytes$argnum, length$argnum))) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) (unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH) {
    if (tavrel_call.called && bytes$argnum) arg1->KTFreeMemory(bytes$argnum);
}

%typemap(in) DWORD * (DWORD number = 0) {
    $1 = PyList_Check($input) ? &number : 0;
}
%typemap(argout) DWORD * {
    if ($1 && !Tavrel::put_output(arg1, $input, Tavrel::number_object(number$argnum))) TAVREL_OUTPUT_FAIL;
}

%typemap(in) BOOL * (BOOL flag = 0) {
    $1 = PyList_Check($input) ? &flag : 0;
}
%typemap(argout) BOOL * {
    if ($1 && !Tavrel::put_output(arg1, $input, PyBool_FromLong(flag$argnum))) TAVREL_OUTPUT_FAIL;
}

/* ---- handles ---- */

%types(void *);

%typemap(in) PVOID * (PVOID handle = 0) {
    if (!Tavrel::require_list(arg1, $input)) SWIG_fail;
    $1 = &handle;
}
%typemap(argout) PVOID * {
    PyObject *object = handle$argnum ? SWIG_NewPointerObj(handle$argnum, SWIGTYPE_p_void, 0) : SWIG_Py_Void();
    if (!Tavrel::put_output(arg1, $input, object)) TAVREL_OUTPUT_FAIL;
}

/* Any pointer object of the module, unchecked; None for no handle. */
%typemap(in) PVOID {
    if (!SWIG_IsOK(SWIG_ConvertPtr($input, &$1, 0, 0))) {
        SWIG_exception_fail(SWIG_TypeError, "in method '" "$symname" "', argument " "$argnum" " of type '" "$1_type" "'");
    }
}

/* ---- time ---- */

/* A live SYSTEMTIME record or view (ConvertTavrelRecord, records.i), or None. */
%typemap(in) PSYSTEMTIME {
    void *time = 0;
    if ($input != Py_None &&
        !SWIG_IsOK(ConvertTavrelRecord($input, &time, $descriptor(_SYSTEMTIME *), sizeof(SYSTEMTIME)))) {
        SWIG_exception_fail(SWIG_TypeError, "in method '" "$symname" "', argument " "$argnum" " of type '" "$1_type" "'");
    }
    $1 = static_cast<PSYSTEMTIME>(time);
}

/* ---- value: a 32-bit integer passed by address with its size ---- */

%typemap(in) (PVOID pvValue, DWORD dwValueLength) (unsigned int value = 0) {
    if (!Tavrel::value_in(arg1, $input, &value)) SWIG_fail;
    $1 = &value;
    $2 = sizeof value;
}

/* ---- records ---- */

/* A record the library fills: the wrapper's own, zeroed whole; released only once the
 * library was called. */
%define TAVREL_FILLED_RECORD(TYPE, RECORD, CONVERTER, RELEASE)
%typemap(in) TYPE (RECORD record) {
    std::memset(&record, 0, sizeof record);
    $1 = &record;
}
%typemap(argout) TYPE {
    if (!Tavrel::put_record(arg1, $input, $1, CONVERTER)) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) TYPE {
    if (tavrel_call.called) arg1->RELEASE($1);
}
%enddef

/* A record the library makes and returns through a pointer. */
%define TAVREL_RETURNED_RECORD(TYPE, RECORD, CONVERTER, RELEASE)
%typemap(in) TYPE (RECORD *record = 0) {
    $1 = &record;
}
%typemap(argout) TYPE {
    if (!Tavrel::put_record(arg1, $input, record$argnum, CONVERTER)) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) TYPE {
    if (tavrel_call.called && record$argnum) arg1->RELEASE(record$argnum);
}
%enddef

TAVREL_FILLED_RECORD(PKT_CERT_OWNER_INFO, KT_CERT_OWNER_INFO, CertOwnerInfoToDictionary, KTFreeCertOwnerInfo)
TAVREL_FILLED_RECORD(PKT_SIGN_INFO, KT_SIGN_INFO, SignInfoToDictionary, KTFreeSignInfo)
TAVREL_FILLED_RECORD(PKT_ENVELOP_INFO, KT_ENVELOP_INFO, SignInfoToDictionary, KTFreeSenderInfo)
TAVREL_FILLED_RECORD(PKT_CERT_INFO, KT_CERT_INFO, CertInfoToDictionary, KTFreeCertificateInfo)
TAVREL_RETURNED_RECORD(PKT_CERT_INFO_EX *, KT_CERT_INFO_EX, CertInfoExToDictionary, KTFreeCertificateInfoEx)
TAVREL_RETURNED_RECORD(KT_CR_INFO **, KT_CR_INFO, CrInfoToDictionary, KTFreeCRInfo)

/* ---- key medium and user information ---- */

%typemap(in) PKT_KEY_MEDIA (KT_KEY_MEDIA media) {
    Tavrel::key_media_in($input, &media);
    $1 = &media;
}
%typemap(argout) PKT_KEY_MEDIA {
    if (!Tavrel::key_media_out(arg1, $input, $1)) TAVREL_OUTPUT_FAIL;
}

%typemap(in) PKT_USER_INFO (KT_USER_INFO info) {
    if (!Tavrel::user_info_in(arg1, $input, &info, &$1)) SWIG_fail;
}
%typemap(argout) PKT_USER_INFO {
    if ($1 && !Tavrel::put_record(arg1, $input, $1, UserInfoToDictionary)) TAVREL_OUTPUT_FAIL;
}

/* ---- lists in ---- */

/* A list of byte strings: the count, the copies and their lengths. Applied by name. */
%typemap(in) (DWORD BYTES_COUNT, unsigned char **BYTES_LIST, DWORD *BYTES_LENGTHS) (Tavrel::byte_list list) {
    if (!Tavrel::byte_list_in(arg1, $input, list)) SWIG_fail;
    $1 = list.count;
    $2 = list.buffers;
    $3 = list.lengths;
}
%typemap(argout) (DWORD BYTES_COUNT, unsigned char **BYTES_LIST, DWORD *BYTES_LENGTHS) ""
%typemap(freearg) (DWORD BYTES_COUNT, unsigned char **BYTES_LIST, DWORD *BYTES_LENGTHS) {
    Tavrel::byte_list_release(list$argnum);
}

/* A list of texts as one multi-string. Applied by name. */
%typemap(in) char *TEXT_LIST {
    if (!Tavrel::text_list_in(arg1, $input, &$1)) SWIG_fail;
}
%typemap(argout) char *TEXT_LIST ""
%typemap(freearg) char *TEXT_LIST "std::free($1);"

/* ---- settings dictionary ---- */

%typemap(in) Tavrel::settings_item *settings (Tavrel::settings_item item) {
    if (!item.bind(arg1, "$symname", $input)) SWIG_fail;
    $1 = &item;
}
%typemap(argout) Tavrel::settings_item *settings {
    if (!$1->write_back()) TAVREL_OUTPUT_FAIL;
}

/* ---- certificate array output ---- */

%typemap(in) (DWORD *pdwCertificatesCount, unsigned char ***pppbCertificates, DWORD **ppdwCertificatesLength)
             (DWORD count = 0, unsigned char **certificates = 0, DWORD *lengths = 0) {
    const bool requested = PyList_Check($input);
    $1 = &count;
    $2 = requested ? &certificates : 0;
    $3 = requested ? &lengths : 0;
}
%typemap(argout) (DWORD *pdwCertificatesCount, unsigned char ***pppbCertificates, DWORD **ppdwCertificatesLength) {
    if ($2 && !Tavrel::put_certificates(arg1, $input, count$argnum, certificates$argnum, lengths$argnum)) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) (DWORD *pdwCertificatesCount, unsigned char ***pppbCertificates, DWORD **ppdwCertificatesLength) {
    if (tavrel_call.called && (certificates$argnum || lengths$argnum))
        arg1->KTFreeCertificatesArray(count$argnum, certificates$argnum, lengths$argnum);
}

/* ---- random bytes: an output list sized by the count that follows it ---- */

%typemap(in) unsigned char *pbBuffer {
    if (!Tavrel::require_list(arg1, $input)) SWIG_fail;
}
%typemap(in) DWORD dwBufferSize {
    if (!Tavrel::random_count_in(arg1, $input, &$1)) SWIG_fail;
}
%typemap(check) (unsigned char *pbBuffer, DWORD dwBufferSize) {
    if (!Tavrel::random_buffer(arg1, $2, &$1)) SWIG_fail;
}
%typemap(argout) (unsigned char *pbBuffer, DWORD dwBufferSize) {
    if (!Tavrel::put_output(arg1, $input, Tavrel::bytes_value($1, $2))) TAVREL_OUTPUT_FAIL;
}
%typemap(freearg) unsigned char *pbBuffer "std::free($1);"

/* ---- end of the wrappers: later declarations get SWIG's defaults again ---- */

%define TAVREL_END_OF_WRAPPERS
%exception;
%typemap(out) DWORD;
%typemap(out) BOOL;
%typemap(in) DWORD;
%typemap(in) unsigned char *;
%typemap(freearg) unsigned char *;
%typemap(in) char *;
%typemap(argout) char *;
%typemap(freearg) char *;
%typemap(in) char **;
%typemap(argout) char **;
%typemap(freearg) char **;
%typemap(in) DWORD *;
%typemap(argout) DWORD *;
%typemap(in) BOOL *;
%typemap(argout) BOOL *;
%typemap(in) PVOID *;
%typemap(argout) PVOID *;
%typemap(in) PVOID;
%typemap(in) PSYSTEMTIME;
%enddef
