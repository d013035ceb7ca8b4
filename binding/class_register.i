/* TAVREL_SWIGREGISTER(NAME, TYPE): the module function NAME_swigregister, which attaches a
 * script class to the pointer type TYPE * (TYPE as SWIG names the struct: _SYSTEMTIME for
 * SYSTEMTIME). The runtime then presents unowned pointers of that type as instances of the
 * class and destroys owned ones through the class's __swig_destroy__, which must be
 * delete_NAME itself when the class has one. Registering again replaces the class. The
 * build places the entry right after delete_NAME in the method table, wherever it is
 * declared. */
%{
#include <cstdlib>

#include "py_compat.h"

/* The runtime's client data for cls, as SwigPyClientData_New makes it, once the runtime
 * could use it: it makes instances through the class's __new__ with the class alone (a
 * classic class under Python 2.7: raw instances), so __new__ must make an instance of the
 * class that way, which is tried once here; and it calls __swig_destroy__ with a temporary
 * pointer object, so that may only be the type's own delete function (the C function
 * destroy, named destroy_name), never a script object or another function that could keep
 * the object or do anything else. Each attribute is read once (a metaclass may give another
 * object at each read), and what was read is checked before it is kept; anything else gives
 * null with TypeError. */
SWIGINTERN SwigPyClientData *client_data(PyObject *cls, PyCFunction destroy_function, const char *destroy_name) {
    if (!Tavrel::py::is_class(cls)) {
        PyErr_Format(PyExc_TypeError, "swigregister takes a class, not %.100s", Py_TYPE(cls)->tp_name);
        return 0;
    }
    PyObject *newraw = PyType_Check(cls) ? PyObject_GetAttrString(cls, "__new__") : 0;
    PyErr_Clear();
    PyObject *destroy = PyObject_GetAttrString(cls, "__swig_destroy__");
    PyErr_Clear();  /* a class without __swig_destroy__ */
    const char *unusable = 0;
    bool foreign_destroy = false;
    if (PyType_Check(cls) && !(newraw && PyCallable_Check(newraw))) {
        unusable = "__new__ of the class cannot be called";
    } else if (destroy && !(PyCFunction_Check(destroy) && PyCFunction_GET_FUNCTION(destroy) == destroy_function)) {
        foreign_destroy = true;
    } else if (newraw) {
        PyObject *trial = PyObject_CallFunctionObjArgs(newraw, cls, NULL);
        if (!trial || !PyObject_TypeCheck(trial, reinterpret_cast<PyTypeObject *>(cls)))
            unusable = "__new__ of the class makes no instance of it from the class alone";
        Py_XDECREF(trial);
        PyErr_Clear();
    }
    PyObject *newargs = unusable || foreign_destroy ? 0 : newraw ? PyTuple_Pack(1, cls) : (Py_INCREF(cls), cls);
    SwigPyClientData *data = newargs ? static_cast<SwigPyClientData *>(std::malloc(sizeof *data)) : 0;
    if (!data) {
        Py_XDECREF(newraw);
        Py_XDECREF(destroy);
        Py_XDECREF(newargs);
        PyErr_Clear();
        if (foreign_destroy)
            PyErr_Format(PyExc_TypeError, "__swig_destroy__ of the class is not %s", destroy_name);
        else if (unusable)
            PyErr_SetString(PyExc_TypeError, unusable);
        else
            PyErr_NoMemory();
        return 0;
    }
    Py_INCREF(cls);
    data->klass = cls;
    data->newraw = newraw;
    data->newargs = newargs;
    data->destroy = destroy;
    data->delargs = destroy != 0;  /* the runtime passes a temporary pointer object */
    data->implicitconv = 0;
    data->pytype = 0;
    return data;
}

/* Attaches cls to type; the class registered before stays when cls is refused. */
SWIGINTERN PyObject *register_class(PyObject *cls, swig_type_info *type, PyCFunction destroy, const char *destroy_name) {
    SwigPyClientData *data = client_data(cls, destroy, destroy_name);
    if (!data) return NULL;
    SwigPyClientData *old = type->owndata ? static_cast<SwigPyClientData *>(type->clientdata) : 0;
    SWIG_TypeNewClientData(type, data);
    if (old) SwigPyClientData_Del(old);
    return SWIG_Py_Void();
}
%}

%define TAVREL_SWIGREGISTER(NAME, TYPE)
%native(NAME##_swigregister) PyObject *register_##NAME(PyObject *self, PyObject *args);
%{
extern "C" {
SWIGINTERN PyObject *_wrap_delete_##NAME(PyObject *self, PyObject *args);  /* declared with the wrappers' linkage */
}

SWIGINTERN PyObject *register_##NAME(PyObject *, PyObject *args) {
    PyObject *cls = 0;
    if (!PyArg_ParseTuple(args, "O:swigregister", &cls)) return NULL;
    return register_class(cls, SWIGTYPE_p_##TYPE, _wrap_delete_##NAME, "delete_" #NAME);
}
%}
%enddef
