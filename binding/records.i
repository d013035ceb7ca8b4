/* Record classes, one after another in the order of sigapi/records.txt: for each field its
 * setter and getter, then new_<RECORD>, delete_<RECORD> and <RECORD>_swigregister
 * (TAVREL_SWIGREGISTER). SWIG writes the accessors from the declarations in kt_records.h;
 * the typemaps below make them safe:
 *
 * - Records come from a Tavrel::record_registry. Every record function checks that its
 *   record object still names a live record, so a record that was deleted or released is
 *   never reached, and delete frees each record once.
 * - An object that the module makes (new_<RECORD>, a time field's view) carries the serial
 *   of its record, so it cannot reach a newer record that took the same address. A view
 *   is usable while its record lives; delete_SYSTEMTIME leaves it alone.
 * - None as the record: getters raise TypeError; setters store nothing; delete does nothing.
 * - Texts of `char *` fields are the record's own copies, copied before the old text is
 *   released and released with the record. */

%{
#include <cstring>
#include <iterator>

#include "record_registry.h"

/* Records made by new_<RECORD>. Never destroyed: records that scripts keep until exit stay
 * reachable. */
static Tavrel::record_registry &TavrelRecords() {
    static Tavrel::record_registry *records = new Tavrel::record_registry;
    return *records;
}

/* The serial of an object's record rides on the object as the next link of its chain: a
 * pointer object of a type of its own, which no conversion accepts and no other module
 * knows. */
static swig_type_info _T_record_serial_type = {"_p_TavrelRecordSerial", "record serial", 0, 0, 0, 0};

SWIGINTERN uint64_t TavrelRecordSerial(PyObject *obj, swig_type_info *type) {
    for (SwigPyObject *sobj = SWIG_Python_GetSwigThis(obj); sobj; sobj = (SwigPyObject *)sobj->next) {
        if (sobj->ty == type || SWIG_TypeCheckStruct(sobj->ty, type)) {
            SwigPyObject *tag = (SwigPyObject *)sobj->next;
            return tag && tag->ty == &_T_record_serial_type ? reinterpret_cast<uintptr_t>(tag->ptr) : 0;
        }
    }
    return 0;
}

/* The live record that obj (converted to p, of type, size bytes) may reach, or null. An
 * object without a serial (the runtime's temporary one when it releases an owned record,
 * or another module's) must name a whole record of its own type. */
SWIGINTERN const Tavrel::record_block *TavrelLiveRecord(PyObject *obj, void *p, swig_type_info *type, size_t size) {
    const Tavrel::record_block *block = TavrelRecords().find(p, size);
    if (!block) return 0;
    if (const uint64_t serial = TavrelRecordSerial(obj, type)) return block->serial == serial ? block : 0;
    return block->start == p && block->kind == type ? block : 0;
}

/* obj as a live record of type (size bytes): a record object from new_<RECORD> whose record
 * still lives, or a view into a live record. SWIG_OK with *record set, else an error code
 * for the argument error (None, another type, or a record no longer alive). For wrappers
 * that take a record object. */
SWIGINTERN int ConvertTavrelRecord(PyObject *obj, void **record, swig_type_info *type, size_t size) {
    void *p = 0;
    const int res = SWIG_ConvertPtr(obj, &p, type, 0);
    if (!SWIG_IsOK(res)) return res;
    if (!p || !TavrelLiveRecord(obj, p, type, size)) return SWIG_TypeError;
    *record = p;
    return SWIG_OK;
}

/* Item 1 of a record function. Getters need a live record. Setters also take None (a null
 * record: nothing is stored). delete_<RECORD> (disown set) takes ownership away from the
 * object and gets the record only when the object names a whole live record of its type,
 * else null: nothing is freed. */
SWIGINTERN int TavrelRecordSelf(PyObject *obj, void **record, swig_type_info *type, size_t size, int disown,
                                bool getter) {
    void *p = 0;
    const int res = SWIG_ConvertPtr(obj, &p, type, disown);
    if (!SWIG_IsOK(res)) return res;
    const Tavrel::record_block *block = p ? TavrelLiveRecord(obj, p, type, size) : 0;
    if (disown) {
        *record = block && block->start == p && block->kind == type ? p : 0;
        return SWIG_OK;
    }
    if (!block && (p || getter)) return SWIG_TypeError;
    *record = p;
    return SWIG_OK;
}

SWIGINTERNINLINE bool TavrelIsGetter(const char *symname) {
    const size_t length = std::strlen(symname);
    return length > 4 && std::strcmp(symname + length - 4, "_get") == 0;
}

/* A record object for p: new_<RECORD>'s owned record (the bare pointer object), or a view
 * (an instance of the registered class, if any). Either carries its record's serial. */
SWIGINTERN PyObject *NewTavrelRecordObject(void *p, swig_type_info *type, size_t size, int own) {
    if (!p) return own ? PyErr_NoMemory() : SWIG_Py_Void();
    const Tavrel::record_block *block = TavrelRecords().find(p, size);
    PyObject *tag = block ? SwigPyObject_New(reinterpret_cast<void *>(static_cast<uintptr_t>(block->serial)),
                                             &_T_record_serial_type, 0)
                          : 0;
    PyObject *obj = tag ? SWIG_NewPointerObj(p, type, own ? SWIG_POINTER_NEW : 0) : 0;
    if (!obj) {
        Py_XDECREF(tag);
        if (own) TavrelRecords().release(p);
        return 0;
    }
    /* A class whose instances keep no `this` gives views without a serial, which every
     * record function refuses. */
    if (SwigPyObject *sobj = SWIG_Python_GetSwigThis(obj)) {
        Py_XDECREF(sobj->next);
        sobj->next = tag;
    } else {
        Py_DECREF(tag);
    }
    return obj;
}

constexpr bool TavrelSameName(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

/* The index of a record in the field tables, found at compile time. */
constexpr size_t TavrelRecordIndex(const char *name) {
    size_t i = 0;
    while (i < std::size(kt_records::all) && !TavrelSameName(kt_records::all[i].name, name)) ++i;
    return i;
}

SWIGINTERN void *NewTavrelRecord(size_t index, swig_type_info *type) {
    const Tavrel::record_block *block = TavrelRecords().allocate(kt_records::all[index], type);
    return block ? const_cast<void *>(block->start) : 0;
}
%}

/* Item 1 of every record function. */
%typemap(in) SWIGTYPE *self (void *record = 0, int res = 0) {
  res = TavrelRecordSelf($input, &record, $1_descriptor, sizeof($*1_ltype), $disown, TavrelIsGetter("$symname"));
  if (!SWIG_IsOK(res)) {
    %argument_fail(res, "$type", $symname, $argnum);
  }
  $1 = %reinterpret_cast(record, $ltype);
}

/* new_<RECORD> and the views of time fields. */
%typemap(out) SWIGTYPE *TAVREL_DEFAULT = SWIGTYPE *;
%typemap(out) SWIGTYPE * {
  $result = NewTavrelRecordObject($1, $descriptor, sizeof($*1_ltype), $owner);
  if (!$result) SWIG_fail;
}
%typemap(out) KT_CERT_INFO_EX ** = SWIGTYPE *TAVREL_DEFAULT;

/* The value of a time field's setter: a live SYSTEMTIME record or view. */
%typemap(in) SYSTEMTIME * (void *record = 0, int res = 0) {
  res = ConvertTavrelRecord($input, &record, $descriptor, sizeof(SYSTEMTIME));
  if (!SWIG_IsOK(res)) {
    %argument_fail(res, "$type", $symname, $argnum);
  }
  $1 = %reinterpret_cast(record, $ltype);
}
/* A view may be copied onto its own field. */
%typemap(memberin) SYSTEMTIME {
  if (arg1) std::memmove(&$1, $input, sizeof(SYSTEMTIME));
}

/* The new text is copied before the old one is released: the value may be that text. */
%typemap(memberin) char *TAVREL_DEFAULT = char *;
%typemap(memberin) char * {
  if (arg1) {
    char *copy = $input ? Tavrel::record_registry::copy_text($input) : 0;
    if ($input && !copy) {
      PyErr_NoMemory();
      SWIG_fail;
    }
    char *old = $1;
    $1 = copy;
    Tavrel::record_registry::free_text(old);
  }
}

/* The value arrives as all N bytes, zero-filled behind the text. */
%typemap(memberin) char TAVREL_DEFAULT[ANY] = char [ANY];
%typemap(memberin) char [ANY] {
  if (arg1) std::memcpy($1, $input, $1_dim0);
}

/* The names of the record types beside their own. */
%types(PSYSTEMTIME, PKT_CERT_OWNER_INFO, PKT_SIGN_INFO, PKT_ENVELOP_INFO, PKT_KEY_MEDIA, PKT_CERT_INFO,
       PKT_USER_INFO, PPKT_CERT_INFO_EX, PKT_CERT_INFO_EX *);

%include "kt_records.h"

/* new_<RECORD>, delete_<RECORD> and <RECORD>_swigregister of the record NAME, whose struct
 * SWIG names TYPE. */
%define TAVREL_RECORD_CLASS(NAME, TYPE)
%extend TYPE {
    TYPE() {
        constexpr size_t index = TavrelRecordIndex(#NAME);
        static_assert(index < std::size(kt_records::all), "no field table for " #NAME);
        return static_cast<TYPE *>(NewTavrelRecord(index, SWIGTYPE_p_##TYPE));
    }
    ~TYPE() {
        TavrelRecords().release($self);
    }
}
TAVREL_SWIGREGISTER(NAME, TYPE)
%enddef

TAVREL_RECORD_CLASS(SYSTEMTIME, _SYSTEMTIME)
TAVREL_RECORD_CLASS(KT_CERT_OWNER_INFO, KT_CERT_OWNER_INFO)
TAVREL_RECORD_CLASS(KT_SIGN_INFO, KT_SIGN_INFO)
TAVREL_RECORD_CLASS(KT_KEY_MEDIA, KT_KEY_MEDIA)
TAVREL_RECORD_CLASS(KT_CRL_INFO, KT_CRL_INFO)
TAVREL_RECORD_CLASS(KT_CERT_INFO, KT_CERT_INFO)
TAVREL_RECORD_CLASS(KT_CERT_INFO_EX, KT_CERT_INFO_EX)
TAVREL_RECORD_CLASS(KT_CRL_DETAILED_INFO, KT_CRL_DETAILED_INFO)
TAVREL_RECORD_CLASS(KT_CERTIFICATES, KT_CERTIFICATES)
TAVREL_RECORD_CLASS(KT_CR_INFO, KT_CR_INFO)
TAVREL_RECORD_CLASS(KT_USER_INFO, KT_USER_INFO)
TAVREL_RECORD_CLASS(KT_USER_PARAMS, KT_USER_PARAMS)
TAVREL_RECORD_CLASS(KT_SCC_STATISTIC, KT_SCC_STATISTIC)
TAVREL_RECORD_CLASS(KT_TIME_INFO, KT_TIME_INFO)
TAVREL_RECORD_CLASS(KT_KEY_MEDIA_DEVICE_INFO, KT_KEY_MEDIA_DEVICE_INFO)
TAVREL_RECORD_CLASS(KT_SS_SIGN_HASH_RESULT, KT_SS_SIGN_HASH_RESULT)

/* Later parts of the module get SWIG's own typemaps back. */
%typemap(in) SWIGTYPE *self;
%typemap(out) SWIGTYPE * = SWIGTYPE *TAVREL_DEFAULT;
%typemap(out) KT_CERT_INFO_EX **;
%typemap(in) SYSTEMTIME *;
%typemap(memberin) SYSTEMTIME;
%typemap(memberin) char * = char *TAVREL_DEFAULT;
%typemap(memberin) char [ANY] = char TAVREL_DEFAULT[ANY];
