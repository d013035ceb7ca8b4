/* A module for the record tests only: pointer objects of any type that _Tavrel's type table
 * knows, made at any address (bare, or as instances of the registered class), as another
 * module sharing the binding runtime would make them, and reads pointer objects back as
 * such a module would. _Tavrel must be imported first. */
%module _tavrel_record_probe

%include "runtime.i"

%{
/* An unowned pointer object of the named type; LookupError for a type that no module knows. */
static PyObject *new_pointer(unsigned long long address, const char *name, int flags) {
    swig_type_info *type = SWIG_TypeQuery(name);
    if (!type) {
        PyErr_SetString(PyExc_LookupError, name);
        return NULL;
    }
    return SWIG_NewPointerObj(reinterpret_cast<void *>(address), type, flags);
}
/* Never an instance of a registered class. */
static PyObject *pointer(unsigned long long address, const char *name) {
    return new_pointer(address, name, SWIG_POINTER_NOSHADOW);
}
/* The same as an instance of the class registered for the type, if any. */
static PyObject *instance(unsigned long long address, const char *name) { return new_pointer(address, name, 0); }
%}
PyObject *pointer(unsigned long long address, const char *name);
PyObject *instance(unsigned long long address, const char *name);

%{
/* The address that this module reads from obj as a pointer of the named type. */
static unsigned long long address(PyObject *obj, const char *name) {
    void *p = 0;
    swig_type_info *type = SWIG_TypeQuery(name);
    if (!type || !SWIG_IsOK(SWIG_ConvertPtr(obj, &p, type, 0))) PyErr_SetString(PyExc_TypeError, name);
    return reinterpret_cast<uintptr_t>(p);
}
%}
%exception address {
    $action
    if (PyErr_Occurred()) SWIG_fail;
}
unsigned long long address(PyObject *obj, const char *name);
