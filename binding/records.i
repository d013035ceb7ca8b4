/* Record classes, one after another in the order of sigapi/records.txt: for each field its
 * setter and getter, then new_<RECORD>, delete_<RECORD> and <RECORD>_swigregister
 * (TAVREL_SWIGREGISTER). SWIG writes the accessors from the declarations in kt_records.h;
 * the typemaps below make them safe:
 *
 * - Records come from a Tavrel::record_registry, and delete frees each of them once.
 * - An object that the module makes (new_<RECORD>, a time field's view) remembers the
 *   serial of its record, so it reaches neither a deleted record nor a newer one at the
 *   same address. A view is usable while its record lives; delete_SYSTEMTIME leaves it
 *   alone.
 * - A pointer object of the record's type that another module made is a record as it is;
 *   delete frees through it only a whole live record of the registry.
 * - None as the record: getters raise TypeError; setters store nothing; delete does nothing.
 * - A script object that stands for a record is read for its `this` once per item, and what
 *   that read gave is kept until the call ends. Whatever object names a record, the
 *   registry entry of that record is noted when it is converted: a record deleted while a
 *   later item was converted (script code run by its `this`, through any object) is refused
 *   as a deleted one is, before it is touched.
 * - Texts of `char *` fields are the record's own copies, copied before the old text is
 *   released and released with the record.
 *
 * Every typemap here is bound to a record type or to struct members (the records are the
 * only structs with fields that the module shows SWIG), so nothing needs clearing for the
 * files that follow. */

%{
#include <cstring>
#include <iterator>

#include "py_compat.h"
#include "record_registry.h"

/* Records made by new_<RECORD>. Never destroyed: records that scripts keep until exit stay
 * reachable. */
static Tavrel::record_registry &records() {
    static Tavrel::record_registry *registry = new Tavrel::record_registry;
    return *registry;
}

/* The objects that records.i makes (new_<RECORD>, a time field's view) remember the serial
 * of their record. They are the runtime's pointer objects under its own type name, so every
 * module of the runtime takes them as such, with one field more, out of the scripts' sight. */
struct record_object {
    SwigPyObject base;
    uint64_t serial;
};

SWIGINTERN const Tavrel::record_block *record_of(const record_object *obj) {
    const Tavrel::record_block *block = records().find(obj->base.ptr, 1);
    return block && block->serial == obj->serial ? block : 0;
}

/* An owned object whose record was deleted through another module's object releases
 * nothing: the runtime would destroy whatever record now lies at its address. */
SWIGINTERN void release_record_object(PyObject *v) {
    record_object *obj = reinterpret_cast<record_object *>(v);
    if (obj->base.own == SWIG_POINTER_OWN && !record_of(obj)) {
        obj->base.own = 0;
        Py_XDECREF(Swig_Capsule_global);  /* the reference an owned object holds */
    }
    SwigPyObject_dealloc(v);
}

SWIGINTERN PyTypeObject *record_object_type() {
    static PyNumberMethods number;  /* zero: PyType_Ready fills it from the runtime's type */
    static PyTypeObject type = [] {
        PyTypeObject t;
        std::memset(&t, 0, sizeof t);
        Tavrel::py::init_type_head(t);
        t.tp_name = "SwigPyObject";
        t.tp_basicsize = sizeof(record_object);
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        t.tp_dealloc = release_record_object;
        t.tp_as_number = &number;
        t.tp_base = SwigPyObject_type();
        return t;
    }();
    static const bool ready = PyType_Ready(&type) == 0;
    return ready ? &type : 0;
}

/* The serial of obj's record when records.i made obj; 0 for another module's pointer object
 * and for the runtime's temporary one when it releases an owned record. */
SWIGINTERN uint64_t record_serial(PyObject *obj, swig_type_info *type) {
    int links = 0;
    for (SwigPyObject *sobj = SWIG_Python_GetSwigThis(obj); sobj; sobj = next_pointer_object(sobj, &links)) {
        if (sobj->ty == type || SWIG_TypeCheckStruct(sobj->ty, type))
            return Py_TYPE(sobj) == record_object_type() ? reinterpret_cast<record_object *>(sobj)->serial : 0;
    }
    return 0;
}

/* The registry entry of the record that obj (converted to p, not null, of type) names for
 * size bytes at p, noted in *entry when the record argument is converted, whatever kind of
 * object named it: the serial of the live record that holds those bytes, or 0 for memory
 * the registry does not hold (another module's, whose lifetime is that module's business).
 * An object that records.i made names only the record it was made for: false when that is
 * gone. */
SWIGINTERN bool note_record(PyObject *obj, void *p, swig_type_info *type, size_t size, uint64_t *entry) {
    const uint64_t serial = record_serial(obj, type);
    const Tavrel::record_block *block = records().find(p, size);
    if (serial && !(block && block->serial == serial)) return false;
    *entry = block ? block->serial : 0;
    return true;
}

/* Whether the entry noted for p (note_record) is still the live record there: checked right
 * before the record is touched, since converting a later item can run script code (a
 * `this` property) that deletes it, through any object that names it. */
SWIGINTERN bool still_live(const void *p, size_t size, uint64_t entry) {
    if (!entry) return true;
    const Tavrel::record_block *block = records().find(p, size);
    return block && block->serial == entry;
}

/* The record that delete_<RECORD> given obj (converted to p) frees: a whole live record of
 * type that the registry holds and, for an object that records.i made, its own; else null. */
SWIGINTERN void *deletable(PyObject *obj, void *p, swig_type_info *type, size_t size) {
    const Tavrel::record_block *block = p ? records().find(p, size) : 0;
    if (!block || block->start != p || block->kind != type) return 0;
    const uint64_t serial = record_serial(obj, type);
    return !serial || serial == block->serial ? p : 0;
}

/* obj as a record of type (size bytes) that it may reach (see note_record). SWIG_OK with
 * *record set, *entry its registry entry and *held the pointer object read (a new
 * reference, to be released when the call ends), else an error code for the argument error
 * (None, another type, or a record of this module's no longer alive). For wrappers that take
 * a record object; still_live checks *entry again before the record is touched. */
SWIGINTERN int ConvertTavrelRecord(PyObject *obj, void **record, swig_type_info *type, size_t size,
                                   PyObject **held, uint64_t *entry) {
    PyObject *pointer = 0;
    void *p = 0;
    int res = convert_pointer_once(obj, &p, type, 0, &pointer);
    if (SWIG_IsOK(res) && (!p || !note_record(pointer, p, type, size, entry))) res = SWIG_TypeError;
    if (!SWIG_IsOK(res)) {
        Py_XDECREF(pointer);
        return res;
    }
    *record = p;
    *held = pointer;
    return SWIG_OK;
}

/* Item 1 of a record function. Getters need a record they may reach. Setters also take
 * None (a null record: nothing is stored). delete_<RECORD> (disown set) takes ownership
 * away from the object and gets the record only when it may free it (see deletable),
 * else null: nothing is freed. *held and *entry receive the pointer object read and the
 * record's registry entry, as in ConvertTavrelRecord. */
SWIGINTERN int record_self(PyObject *obj, void **record, swig_type_info *type, size_t size, int disown,
                           bool getter, PyObject **held, uint64_t *entry) {
    PyObject *pointer = 0;
    void *p = 0;
    int res = convert_pointer_once(obj, &p, type, disown, &pointer);
    if (SWIG_IsOK(res)) {
        if (disown) p = deletable(pointer, p, type, size);
        if (p ? !note_record(pointer, p, type, size, entry) : getter && !disown) res = SWIG_TypeError;
    }
    if (!SWIG_IsOK(res)) {
        Py_XDECREF(pointer);
        return res;
    }
    *record = p;
    *held = pointer;
    return SWIG_OK;
}

SWIGINTERNINLINE bool is_getter(const char *symname) {
    const size_t length = std::strlen(symname);
    return length > 4 && std::strcmp(symname + length - 4, "_get") == 0;
}

/* A record object for p: new_<RECORD>'s owned record (the bare pointer object), or a view
 * (an instance of the registered class, if any). Either remembers its record's serial; a
 * view into a record that another module handed in is that module's kind of object. */
SWIGINTERN PyObject *new_record_object(void *p, swig_type_info *type, size_t size, int own) {
    if (!p) return own ? PyErr_NoMemory() : SWIG_Py_Void();
    const Tavrel::record_block *block = records().find(p, size);
    if (!block && !own) return SWIG_NewPointerObj(p, type, 0);  /* a view into another module's record */
    PyTypeObject *object_type = record_object_type();
    record_object *made = block && object_type ? PyObject_New(record_object, object_type) : 0;
    if (!made) {
        if (own) records().release(p);
        return PyErr_Occurred() ? 0 : PyErr_NoMemory();
    }
    made->base.ptr = p;
    made->base.ty = type;
    made->base.own = own ? SWIG_POINTER_OWN : 0;
    made->base.next = 0;
    made->serial = block->serial;
    if (own) Py_XINCREF(Swig_Capsule_global);  /* as the runtime's own owned objects hold it */

    PyObject *obj = reinterpret_cast<PyObject *>(made);
    SwigPyClientData *data = static_cast<SwigPyClientData *>(type->clientdata);
    if (!own && data) {
        PyObject *instance = SWIG_Python_NewShadowInstance(data, obj);
        Py_DECREF(obj);
        obj = instance;
    }
    return obj;
}

constexpr bool same_name(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

/* The index of a record in the field tables, found at compile time. */
constexpr size_t record_index(const char *name) {
    size_t i = 0;
    while (i < std::size(kt_records::all) && !same_name(kt_records::all[i].name, name)) ++i;
    return i;
}

SWIGINTERN void *new_record(size_t index, swig_type_info *type) {
    const Tavrel::record_block *block = records().allocate(kt_records::all[index], type);
    return block ? const_cast<void *>(block->start) : 0;
}
%}

/* The value of a time field's setter: a live SYSTEMTIME record or view, still live once
 * every item is converted. */
%typemap(in) SYSTEMTIME * (void *record = 0, int res = 0, PyObject *held = 0, uint64_t entry = 0) {
  res = ConvertTavrelRecord($input, &record, $descriptor, sizeof(SYSTEMTIME), &held, &entry);
  if (!SWIG_IsOK(res)) {
    %argument_fail(res, "$type", $symname, $argnum);
  }
  $1 = %reinterpret_cast(record, $ltype);
}
%typemap(check) SYSTEMTIME * {
  if (!still_live($1, sizeof(SYSTEMTIME), entry$argnum)) {
    %argument_fail(SWIG_TypeError, "$type", $symname, $argnum);
  }
}
%typemap(freearg) SYSTEMTIME * "Py_XDECREF(held$argnum);"
/* A view may be copied onto its own field. */
%typemap(memberin) SYSTEMTIME {
  if (arg1) std::memmove(&$1, $input, sizeof(SYSTEMTIME));
}

/* The new text is copied before the old one is released: the value may be that text. */
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
%typemap(memberin) char [ANY] {
  if (arg1) std::memcpy($1, $input, $1_dim0);
}

/* The names of the record types beside their own. */
%types(PSYSTEMTIME, PKT_CERT_OWNER_INFO, PKT_SIGN_INFO, PKT_ENVELOP_INFO, PKT_KEY_MEDIA, PKT_CERT_INFO,
       PKT_USER_INFO, PPKT_CERT_INFO_EX, PKT_CERT_INFO_EX *);

/* The records, in method-table order: DO(NAME, TYPE) for each, NAME being the record and
 * TYPE its struct as SWIG names it (_SYSTEMTIME for SYSTEMTIME). */
%define TAVREL_EACH_RECORD(DO)
DO(SYSTEMTIME, _SYSTEMTIME)
DO(KT_CERT_OWNER_INFO, KT_CERT_OWNER_INFO)
DO(KT_SIGN_INFO, KT_SIGN_INFO)
DO(KT_KEY_MEDIA, KT_KEY_MEDIA)
DO(KT_CRL_INFO, KT_CRL_INFO)
DO(KT_CERT_INFO, KT_CERT_INFO)
DO(KT_CERT_INFO_EX, KT_CERT_INFO_EX)
DO(KT_CRL_DETAILED_INFO, KT_CRL_DETAILED_INFO)
DO(KT_CERTIFICATES, KT_CERTIFICATES)
DO(KT_CR_INFO, KT_CR_INFO)
DO(KT_USER_INFO, KT_USER_INFO)
DO(KT_USER_PARAMS, KT_USER_PARAMS)
DO(KT_SCC_STATISTIC, KT_SCC_STATISTIC)
DO(KT_TIME_INFO, KT_TIME_INFO)
DO(KT_KEY_MEDIA_DEVICE_INFO, KT_KEY_MEDIA_DEVICE_INFO)
DO(KT_SS_SIGN_HASH_RESULT, KT_SS_SIGN_HASH_RESULT)
%enddef

/* The typemaps of one record type, bound to that type alone. They must be in effect where
 * SWIG reads the struct: it makes the accessors there, and the %extend members below with
 * the typemaps of that point. */
%define TAVREL_RECORD_TYPEMAPS(NAME, TYPE)
/* Item 1 of every function of the record. */
%typemap(in) TYPE *self (void *record = 0, int res = 0, PyObject *held = 0, uint64_t entry = 0) {
  res = record_self($input, &record, $1_descriptor, sizeof(TYPE), $disown, is_getter("$symname"), &held, &entry);
  if (!SWIG_IsOK(res)) {
    %argument_fail(res, "$type", $symname, $argnum);
  }
  $1 = %reinterpret_cast(record, $ltype);
}
%typemap(freearg) TYPE *self "Py_XDECREF(held$argnum);"
/* Checked again once every item is converted, right before the record is touched: the
 * conversion of a value can run script code (a `this` property) that deletes it. */
%typemap(check) TYPE *self {
  if ($1 && !still_live($1, sizeof(TYPE), entry$argnum)) {
    %argument_fail(SWIG_TypeError, "$type", $symname, $argnum);
  }
}
/* new_<RECORD>, and the views of a time field. */
%typemap(out) TYPE * {
  $result = new_record_object($1, $descriptor, sizeof(TYPE), $owner);
  if (!$result) SWIG_fail;
}
%enddef

/* new_<RECORD>, delete_<RECORD> and <RECORD>_swigregister, after the record's accessors. */
%define TAVREL_RECORD_CLASS(NAME, TYPE)
%extend TYPE {
    TYPE() {
        constexpr size_t index = record_index(#NAME);
        static_assert(index < std::size(kt_records::all), "no field table for " #NAME);
        return static_cast<TYPE *>(new_record(index, SWIGTYPE_p_##TYPE));
    }
    ~TYPE() {
        records().release($self);
    }
}
TAVREL_SWIGREGISTER(NAME, TYPE)
%enddef

TAVREL_EACH_RECORD(TAVREL_RECORD_TYPEMAPS)
%include "kt_records.h"
TAVREL_EACH_RECORD(TAVREL_RECORD_CLASS)
