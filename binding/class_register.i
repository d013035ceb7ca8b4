/* TAVREL_SWIGREGISTER(NAME, TYPE): the module function NAME_swigregister, which attaches a
 * script class to the pointer type TYPE * (TYPE as SWIG names the struct: _SYSTEMTIME for
 * SYSTEMTIME). The runtime then presents unowned pointers of that type as instances of the
 * class and destroys owned ones through the function that the class names in
 * __swig_destroy__. Registering again replaces the class. The build places the entry right
 * after delete_NAME in the method table, wherever it is declared. */
%{
SWIGINTERN PyObject *register_class(PyObject *cls, swig_type_info *type) {
    // The runtime calls __swig_destroy__ as a module function; anything else would crash it.
    if (PyObject *destroy = PyObject_GetAttrString(cls, "__swig_destroy__")) {
        const bool usable = PyCFunction_Check(destroy);
        Py_DECREF(destroy);
        if (!usable) {
            PyErr_SetString(PyExc_TypeError, "__swig_destroy__ is not a module function");
            return NULL;
        }
    } else {
        PyErr_Clear();
    }

    SwigPyClientData *data = SwigPyClientData_New(cls);
    if (!data) return PyErr_NoMemory();
    SwigPyClientData *old = type->owndata ? static_cast<SwigPyClientData *>(type->clientdata) : 0;
    SWIG_TypeNewClientData(type, data);
    if (old) SwigPyClientData_Del(old);
    return SWIG_Py_Void();
}
%}

%define TAVREL_SWIGREGISTER(NAME, TYPE)
%native(NAME##_swigregister) PyObject *register_##NAME(PyObject *self, PyObject *args);
%{
SWIGINTERN PyObject *register_##NAME(PyObject *, PyObject *args) {
    PyObject *cls = 0;
    if (!PyArg_ParseTuple(args, "O:swigregister", &cls)) return NULL;
    return register_class(cls, SWIGTYPE_p_##TYPE);
}
%}
%enddef
