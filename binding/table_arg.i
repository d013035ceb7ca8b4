/* The table argument of the KT_INTERFACE_<Name> wrappers (a parameter KT_INTERFACE *iface).
 *
 * A wrapper calls through the process-wide table only, and only while the library is
 * loaded. None, a table from new_KT_INTERFACE() and a table object kept after KTUnload are
 * refused like any object of another type.
 *
 * Also the conversion that every pointer item makes (convert_pointer_once): the table,
 * handles, records, each reading its object's `this` once (read_pointer_object, swig/pyrun.swg). */
%include "runtime.i"

%{
/* SWIG_ConvertPtr on the pointer object that obj stands for, read once: None converts to
 * null, anything else through read_pointer_object. On success *held receives that object (a
 * new reference, null for None), which the caller keeps while it uses *p. */
SWIGINTERN int convert_pointer_once(PyObject *obj, void **p, swig_type_info *type, int flags, PyObject **held) {
    *held = 0;
    if (obj == Py_None) return SWIG_ConvertPtr(obj, p, type, flags);
    PyObject *const pointer = read_pointer_object(obj);
    const int res = pointer ? SWIG_ConvertPtr(pointer, p, type, flags) : SWIG_ERROR;
    if (SWIG_IsOK(res)) *held = pointer;
    else Py_XDECREF(pointer);
    return res;
}

/* The table argument refused: null, with TypeError for argument 1. */
SWIGINTERN KT_INTERFACE *refuse_table(const char *wrapper) {
    PyErr_Format(PyExc_TypeError, "in method '%s', argument 1 of type 'KT_INTERFACE *'", wrapper);
    return 0;
}

/* Anything but the current table object: refused unless the runtime's general conversion
 * finds the loaded table in it. That conversion may run script code (a `this` property, a
 * key's __eq__ in the instance dictionary) that unloads the library, so the loaded table
 * is asked for after it. */
SWIGINTERN KT_INTERFACE *convert_other_table(PyObject *obj, const char *wrapper) {
    void *table = 0;
    PyObject *held = 0;
    const bool loaded = SWIG_IsOK(convert_pointer_once(obj, &table, SWIGTYPE_p_KT_INTERFACE, 0, &held)) && table &&
                        table == KTGetInterface();
    Py_XDECREF(held);
    return loaded ? static_cast<KT_INTERFACE *>(table) : refuse_table(wrapper);
}

/* Every call passes the object KTGetInterface() made, a plain pointer object of the table's
 * type: taken inline, without the runtime's general conversion. */
SWIGINTERNINLINE KT_INTERFACE *convert_table(PyObject *obj, const char *wrapper) {
    if (Py_TYPE(obj) == SwigPyObject_type()) {
        const SwigPyObject *const object = reinterpret_cast<SwigPyObject *>(obj);
        KT_INTERFACE *const loaded = KTGetInterface();
        if (object->ty == SWIGTYPE_p_KT_INTERFACE && loaded && object->ptr == loaded) return loaded;
    }
    return convert_other_table(obj, wrapper);
}
%}

%typemap(in) KT_INTERFACE *iface {
    $1 = convert_table($input, "$symname");
    if (!$1) SWIG_fail;
}
