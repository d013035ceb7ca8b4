/* The table argument of the KT_INTERFACE_<Name> wrappers (a parameter KT_INTERFACE *iface).
 *
 * A wrapper calls through the process-wide table only, and only while the library is
 * loaded. None, a table from new_KT_INTERFACE() and a table object kept after KTUnload are
 * refused like any object of another type. */
%{
SWIGINTERN KT_INTERFACE *convert_table(PyObject *obj, const char *wrapper) {
    void *table = 0;
    if (SWIG_IsOK(SWIG_ConvertPtr(obj, &table, SWIGTYPE_p_KT_INTERFACE, 0)) && table &&
        table == KTGetInterface())
        return static_cast<KT_INTERFACE *>(table);
    PyErr_Format(PyExc_TypeError, "in method '%s', argument 1 of type 'KT_INTERFACE *'", wrapper);
    return 0;
}
%}

%typemap(in) KT_INTERFACE *iface {
    $1 = convert_table($input, "$symname");
    if (!$1) SWIG_fail;
}
