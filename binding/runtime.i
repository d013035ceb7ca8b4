/* What the module adds to the binding runtime, for every module built on it. The runtime
 * itself (bounded reads of `this` and walks of `next`, release, repr, instances of
 * registered classes) is swig/pyrun.swg, which SWIG takes in place of its own.
 *
 * SWIG_PyInstanceMethod_New, the entry that turns a module function into an instance method
 * of a script class. SWIG emits it only for fast proxies, which bring entries the module
 * must not have, so it is provided here; the build gives the entry its single-argument
 * calling convention (swig_postprocess.py). */
%native(SWIG_PyInstanceMethod_New) PyObject *SWIG_PyInstanceMethod_New(PyObject *self, PyObject *func);
%{
#include "py_compat.h"

SWIGINTERN PyObject *SWIG_PyInstanceMethod_New(PyObject *, PyObject *func) {
    return Tavrel::py::instance_method(func);
}
%}
