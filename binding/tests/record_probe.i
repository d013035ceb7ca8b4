/* A module for the record tests only: pointer objects of any type that _Tavrel's type table
 * knows, made at any address, as another module sharing the binding runtime would make
 * them. _Tavrel must be imported first. */
%module _tavrel_record_probe

%include "runtime.i"

%{
/* An unowned pointer object, never an instance of a registered class; LookupError for a
 * type that no module knows. */
static PyObject *pointer(unsigned long long address, const char *name) {
    swig_type_info *type = SWIG_TypeQuery(name);
    if (!type) {
        PyErr_SetString(PyExc_LookupError, name);
        return NULL;
    }
    return SWIG_NewPointerObj(reinterpret_cast<void *>(address), type, SWIG_POINTER_NOSHADOW);
}
%}
PyObject *pointer(unsigned long long address, const char *name);
