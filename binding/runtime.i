/* What the module adds to the binding runtime, for every module built on it:
 *
 * - SWIG_PyInstanceMethod_New, the entry that turns a module function into an instance
 *   method of a script class. SWIG emits it only for fast proxies, which bring entries the
 *   module must not have, so it is provided here; the build gives the entry its
 *   single-argument calling convention (swig_postprocess.py).
 * - read_pointer_object, the one bounded read of a script object's `this`: the module's
 *   items read `this` through it (table_arg.i), and so do the runtime's own pointer and
 *   char * conversions, which the build points at it (swig_postprocess.py). */
%native(SWIG_PyInstanceMethod_New) PyObject *SWIG_PyInstanceMethod_New(PyObject *self, PyObject *func);
%{
#include "py_compat.h"

SWIGINTERN PyObject *SWIG_PyInstanceMethod_New(PyObject *, PyObject *func) {
    return Tavrel::py::instance_method(func);
}

/* The most `this` reads that lead to a pointer object; a longer chain (an object that is
 * its own `this`, a property that returns self, a cycle) never ends in one, and is refused
 * like an object of another type. */
static const int max_this_reads = 64;

/* The pointer object that obj stands for, as the runtime finds it (obj itself, or its
 * `this`, followed through objects that hold one), read once: a new reference, or null
 * (no error left). Reading `this` can run script code (a property, a key's __eq__ in the
 * instance dictionary) that gives another object at each read, so an item reads it once
 * and keeps what it got (the record's owner among them) until the call ends. */
SWIGINTERN PyObject *read_pointer_object(PyObject *obj) {
    Py_INCREF(obj);
    for (int reads = 0; obj && !SwigPyObject_Check(obj); ++reads) {
        PyObject *next = 0;
        if (reads < max_this_reads) {
#if defined(SWIG_PYTHON_SLOW_GETSET_THIS)
            PyObject **dictptr = 0;  /* the runtime asks for the attribute */
#else
            PyObject **dictptr = _PyObject_GetDictPtr(obj);
#endif
            if (dictptr) {
                next = *dictptr ? PyDict_GetItem(*dictptr, SWIG_This()) : 0;
                Py_XINCREF(next);
            } else if (!(next = PyObject_GetAttr(obj, SWIG_This()))) {
                PyErr_Clear();
            }
        }
        Py_DECREF(obj);
        obj = next;
    }
    return obj;
}
%}
