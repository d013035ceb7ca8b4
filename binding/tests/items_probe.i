/* A module for the tests only: wrappers with the item kinds of items.i that the set-up
 * wrappers do not use, over functions of the probe's own that record what they receive
 * (probe_received) and answer with the status the test chose (probe_status). Two wrappers
 * reach the library's contexts, for the handle kinds. KTGetInterface is resolved from
 * _Tavrel, which the test imports with RTLD_GLOBAL first. */
%module _tavrel_items_probe

%{
#include "Tavrel.h"
%}

%include "runtime.i"
%include "table_arg.i"
%include "items.i"

%{
#include <string>

/* The module checks that a record object is alive (records.i); the probe only converts. */
SWIGINTERN int ConvertTavrelRecord(PyObject *obj, void **record, swig_type_info *type, size_t, PyObject **held,
                                   uint64_t *entry) {
    const int res = SWIG_ConvertPtr(obj, record, type, 0);
    if (!SWIG_IsOK(res) || !*record) return SWIG_IsOK(res) ? SWIG_TypeError : res;
    Py_INCREF(obj);
    *held = obj;
    *entry = 0;
    return res;
}
SWIGINTERN bool still_live(const void *, size_t, uint64_t) { return true; }

static DWORD status = 0;           // what the probe functions return
static PyObject *received = NULL;  // what the last one received
static bool spoiled = false;       // the outputs the probe hands out cannot all be converted
static char undecodable[] = "\x98";  // not Windows-1251

static void receive(PyObject *value) {
    Py_XDECREF(received);
    received = value;
}

/* Py_BuildValue's format of a C string as a byte string (Python 3's bytes, 2.7's str). */
#if PY_MAJOR_VERSION >= 3
#define PROBE_BYTES "y"
#else
#define PROBE_BYTES "s"
#endif

static PyObject *text_object(const char *text, size_t size) { return PyBytes_FromStringAndSize(text, Py_ssize_t(size)); }

static bool all_zero(const void *record, size_t size) {
    const unsigned char *bytes = static_cast<const unsigned char *>(record);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i]) return false;
    return true;
}

static DWORD KT_INTERFACE_ProbeBytesList(KT_INTERFACE *, DWORD count, unsigned char **buffers, DWORD *lengths,
                                         BOOL flag) {
    PyObject *list = PyList_New(0);
    for (DWORD i = 0; i < count; ++i) {
        PyObject *item = text_object(reinterpret_cast<char *>(buffers[i]), lengths[i]);
        PyList_Append(list, item);
        Py_DECREF(item);
    }
    receive(Py_BuildValue("(Ni)", list, flag));
    return status;
}

static DWORD KT_INTERFACE_ProbeTextList(KT_INTERFACE *, char *multi) {
    size_t size = 0;
    while (multi[size] || multi[size + 1]) ++size;
    receive(text_object(multi, size + 2));
    return status;
}

static DWORD KT_INTERFACE_ProbeOutputs(KT_INTERFACE *, DWORD value, DWORD *number, BOOL *flag) {
    receive(Py_BuildValue("(OO)", number ? Py_True : Py_False, flag ? Py_True : Py_False));
    if (number) *number = value;
    if (flag) *flag = BOOL(value);
    return status;
}

static DWORD KT_INTERFACE_ProbeHandle(KT_INTERFACE *, PVOID handle) {
    receive(PyLong_FromVoidPtr(handle));
    return status;
}

static DWORD KT_INTERFACE_ProbeTime(KT_INTERFACE *, PSYSTEMTIME time) {
    receive(time ? Py_BuildValue("(ii)", time->wYear, time->wMilliseconds) : SWIG_Py_Void());
    return status;
}

static DWORD KT_INTERFACE_ProbeUserInfo(KT_INTERFACE *, PKT_USER_INFO info) {
    if (!info) {
        receive(SWIG_Py_Void());
        return status;
    }
    receive(Py_BuildValue("(k" PROBE_BYTES ")", info->dwVersion, info->szCommonName));
    std::strcat(info->szCommonName, "!");
    info->dwVersion += 1;
    if (spoiled) std::strcpy(info->szCountry, undecodable);  // the last field: the others convert
    return status;
}

static DWORD KT_INTERFACE_ProbeKeyMedia(KT_INTERFACE *, PKT_KEY_MEDIA media) {
    receive(Py_BuildValue("(kk" PROBE_BYTES ")", media->dwTypeIndex, media->dwDevIndex, media->szPassword));
    std::strcpy(media->szPassword, "\x98");  // not Windows-1251: the refill fails
    return status;
}

/* Filled records: zeroed before the call (told back), given static texts by the probe;
 * spoiled, a later text does not decode. */
static char issuer[] = "\xd2\xe5\xea\xf1\xf2";
template <class Record>
static DWORD fill(Record *record) {
    receive(PyBool_FromLong(all_zero(record, sizeof *record)));
    record->bFilled = 1;
    record->pszIssuer = issuer;
    if (spoiled) record->pszSerial = undecodable;
    return status;
}
static DWORD KT_INTERFACE_ProbeSignInfo(KT_INTERFACE *, PKT_SIGN_INFO info) { return fill(info); }
static DWORD KT_INTERFACE_ProbeSenderInfo(KT_INTERFACE *, PKT_ENVELOP_INFO info) { return fill(info); }
static DWORD KT_INTERFACE_ProbeCertInfo(KT_INTERFACE *, PKT_CERT_INFO info) { return fill(info); }
static DWORD KT_INTERFACE_ProbeOwnerInfo(KT_INTERFACE *, PKT_CERT_OWNER_INFO info) { return fill(info); }

static DWORD KT_INTERFACE_CtxCreate(KT_INTERFACE *iface, PVOID *context) { return iface->KTCtxCreate(context); }
static void KT_INTERFACE_CtxFree(KT_INTERFACE *iface, PVOID context) { iface->KTCtxFree(context); }

static PyObject *probe_status(PyObject *, PyObject *args) {
    unsigned long chosen = 0;
    if (!PyArg_ParseTuple(args, "k:probe_status", &chosen)) return NULL;
    status = chosen;
    return SWIG_Py_Void();
}

/* Outputs the library returns, the probe's own (the library's releases leave them alone):
 * a request description whose subject does not decode when spoiled, and two certificates,
 * the second of a length no byte string can have when spoiled. */
static char subject[] = "CN=\xd2\xe5\xea\xf1\xf2";
static KT_CR_INFO request;
static DWORD KT_INTERFACE_ProbeRequestInfo(KT_INTERFACE *, KT_CR_INFO **info) {
    request.pszSubject = subject;
    request.pszSubjCN = spoiled ? undecodable : subject + 3;
    *info = &request;
    return status;
}
static unsigned char certificate_bytes[] = "certificate";
static unsigned char *certificates[] = {certificate_bytes, certificate_bytes};
static DWORD certificate_lengths[2];
static DWORD KT_INTERFACE_ProbeCertificates(KT_INTERFACE *, DWORD *count, unsigned char ***out, DWORD **lengths) {
    certificate_lengths[0] = certificate_lengths[1] = sizeof certificate_bytes - 1;
    if (spoiled) certificate_lengths[1] = DWORD(1) << 63;
    *count = 2;
    if (out) *out = certificates;
    if (lengths) *lengths = certificate_lengths;
    return status;
}

static PyObject *probe_spoil(PyObject *, PyObject *args) {
    int on = 0;
    if (!PyArg_ParseTuple(args, "i:probe_spoil", &on)) return NULL;
    spoiled = on != 0;
    return SWIG_Py_Void();
}

static PyObject *probe_received(PyObject *, PyObject *args) {
    if (!PyArg_ParseTuple(args, ":probe_received")) return NULL;
    PyObject *value = received ? received : Py_None;
    Py_INCREF(value);
    return value;
}
%}

%native(probe_status) PyObject *probe_status(PyObject *self, PyObject *args);
%native(probe_received) PyObject *probe_received(PyObject *self, PyObject *args);
%native(probe_spoil) PyObject *probe_spoil(PyObject *self, PyObject *args);

/* Parameters named by their kinds, as the generated declarations name them. */
%apply DWORD STATUS {
    DWORD KT_INTERFACE_ProbeBytesList, DWORD KT_INTERFACE_ProbeTextList, DWORD KT_INTERFACE_ProbeOutputs,
    DWORD KT_INTERFACE_ProbeHandle, DWORD KT_INTERFACE_ProbeTime, DWORD KT_INTERFACE_ProbeUserInfo,
    DWORD KT_INTERFACE_ProbeKeyMedia, DWORD KT_INTERFACE_ProbeSignInfo, DWORD KT_INTERFACE_ProbeSenderInfo,
    DWORD KT_INTERFACE_ProbeCertInfo, DWORD KT_INTERFACE_ProbeOwnerInfo, DWORD KT_INTERFACE_ProbeRequestInfo, DWORD KT_INTERFACE_ProbeCertificates,
    DWORD KT_INTERFACE_CtxCreate
};
%apply void NONE { void KT_INTERFACE_CtxFree };
DWORD KT_INTERFACE_ProbeBytesList(KT_INTERFACE *iface, DWORD BYTES_COUNT, unsigned char **BYTES_LIST,
                                  DWORD *BYTES_LENGTHS, BOOL FLAG);
DWORD KT_INTERFACE_ProbeTextList(KT_INTERFACE *iface, char *TEXT_LIST);
DWORD KT_INTERFACE_ProbeOutputs(KT_INTERFACE *iface, DWORD NUMBER, DWORD *NUMBER_OUT, BOOL *FLAG_OUT);
DWORD KT_INTERFACE_ProbeHandle(KT_INTERFACE *iface, PVOID HANDLE);
DWORD KT_INTERFACE_ProbeTime(KT_INTERFACE *iface, PSYSTEMTIME TIME);
DWORD KT_INTERFACE_ProbeUserInfo(KT_INTERFACE *iface, PKT_USER_INFO USER_INFO);
DWORD KT_INTERFACE_ProbeKeyMedia(KT_INTERFACE *iface, PKT_KEY_MEDIA KEY_MEDIUM);
DWORD KT_INTERFACE_ProbeSignInfo(KT_INTERFACE *iface, PKT_SIGN_INFO SIGNER);
DWORD KT_INTERFACE_ProbeSenderInfo(KT_INTERFACE *iface, PKT_ENVELOP_INFO SENDER);
DWORD KT_INTERFACE_ProbeCertInfo(KT_INTERFACE *iface, PKT_CERT_INFO CERTIFICATE_INFO);
DWORD KT_INTERFACE_ProbeOwnerInfo(KT_INTERFACE *iface, PKT_CERT_OWNER_INFO OWNER);
DWORD KT_INTERFACE_ProbeRequestInfo(KT_INTERFACE *iface, KT_CR_INFO **REQUEST_INFO);
DWORD KT_INTERFACE_ProbeCertificates(KT_INTERFACE *iface, DWORD *CERTIFICATES_COUNT, unsigned char ***CERTIFICATES,
                                     DWORD **CERTIFICATES_LENGTHS);
DWORD KT_INTERFACE_CtxCreate(KT_INTERFACE *iface, PVOID *CONTEXT_OUT);
void KT_INTERFACE_CtxFree(KT_INTERFACE *iface, PVOID HANDLE);

/* A new handle of each kind with a text output before it that cannot be handed back (LOSE:
 * a text that Windows-1251 lacks), so the handle's own output is never written. The context
 * is the library's; the other handles are the probe's own, which the library ignores. */
%{
static char private_key, session;

static DWORD new_handle(BOOL lose, char **text, PVOID *handle, PVOID made) {
    *text = lose ? undecodable : 0;
    *handle = made;
    return status;
}
static DWORD KT_INTERFACE_ProbeContextOut(KT_INTERFACE *iface, BOOL lose, char **text, PVOID *context) {
    PVOID made = 0;
    if (DWORD failed = iface->KTCtxCreate(&made)) return failed;
    return new_handle(lose, text, context, made);
}
static DWORD KT_INTERFACE_ProbePrivateKeyOut(KT_INTERFACE *, BOOL lose, char **text, PVOID *key) {
    return new_handle(lose, text, key, &private_key);
}
static DWORD KT_INTERFACE_ProbeSessionOut(KT_INTERFACE *, BOOL lose, char **text, PVOID *handle) {
    return new_handle(lose, text, handle, &session);
}
%}
%apply DWORD STATUS {
    DWORD KT_INTERFACE_ProbeContextOut, DWORD KT_INTERFACE_ProbePrivateKeyOut, DWORD KT_INTERFACE_ProbeSessionOut
};
DWORD KT_INTERFACE_ProbeContextOut(KT_INTERFACE *iface, BOOL FLAG, char **DECODED_TEXT_OUT, PVOID *CONTEXT_OUT);
DWORD KT_INTERFACE_ProbePrivateKeyOut(KT_INTERFACE *iface, BOOL FLAG, char **DECODED_TEXT_OUT,
                                      PVOID *PRIVATE_KEY_OUT);
DWORD KT_INTERFACE_ProbeSessionOut(KT_INTERFACE *iface, BOOL FLAG, char **DECODED_TEXT_OUT, PVOID *SESSION_OUT);
