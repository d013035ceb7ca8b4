/* What the module adds to the binding runtime, for every module built on it:
 *
 * - SWIG_PyInstanceMethod_New, the entry that turns a module function into an instance
 *   method of a script class. SWIG emits it only for fast proxies, which bring entries the
 *   module must not have, so it is provided here; the build gives the entry its
 *   single-argument calling convention (swig_postprocess.py).
 * - read_pointer_object, the one bounded read of a script object's `this`: the module's
 *   items read `this` through it (table_arg.i), and so do the runtime's own pointer and
 *   char * conversions, which the build points at it (swig_postprocess.py).
 * - next_pointer_object, the one bounded step along a chain of pointer objects (`next`,
 *   made by append), which the runtime's conversion and repr take (swig_postprocess.py).
 * - new_shadow_instance, the runtime's instance of a registered class for a pointer
 *   object, which holds what it reads while script code runs (swig_postprocess.py). */
%native(SWIG_PyInstanceMethod_New) PyObject *SWIG_PyInstanceMethod_New(PyObject *self, PyObject *func);
%{
#include <cstdio>
#include <string>

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
                /* Held across the lookup: a key's __eq__ may replace obj's __dict__. */
                PyObject *dict = *dictptr;
                Py_XINCREF(dict);
                next = dict ? PyDict_GetItem(dict, SWIG_This()) : 0;
                Py_XINCREF(next);
                Py_XDECREF(dict);
            } else if (!(next = PyObject_GetAttr(obj, SWIG_This()))) {
                PyErr_Clear();
            }
        }
        Py_DECREF(obj);
        obj = next;
    }
    return obj;
}

/* The most pointer objects followed behind one through `next`; a longer chain (one that
 * append closed into a cycle) is cut there: a conversion refuses what it found in none of
 * them as an object of another type, and a repr ends with "...". */
static const int max_next_links = 64;

/* The object after sobj in its chain, or null at its end and after max_next_links steps;
 * *links counts the steps asked for from the chain's first object (0 before the first), so
 * it exceeds max_next_links only where the chain was cut. */
SWIGINTERN SwigPyObject *next_pointer_object(SwigPyObject *sobj, int *links) {
    if (!sobj->next) return 0;
    return ++*links <= max_next_links ? reinterpret_cast<SwigPyObject *>(sobj->next) : 0;
}

/* The repr of v and of the objects chained behind it, as the runtime writes it, with "..."
 * for a chain that goes on past max_next_links. */
SWIGINTERN PyObject *chain_repr(SwigPyObject *v) {
    std::string text;
    int links = 0;
    for (SwigPyObject *sobj = v; sobj; sobj = next_pointer_object(sobj, &links)) {
        const char *name = SWIG_TypePrettyName(sobj->ty);
        char address[32];
        std::snprintf(address, sizeof address, "%p", static_cast<void *>(sobj));
        text.append("<Swig Object of type '").append(name ? name : "unknown").append("' at ").append(address) += '>';
    }
    if (links > max_next_links) text += "...";
    return SWIG_Python_str_FromChar(text.c_str());
}

/* Sets `this` of a new instance as the runtime does: in its instance dictionary (Python
 * 2.7), which stays held while the key is stored (a key's __eq__ may replace it), or as an
 * attribute. False with an error set when it cannot be stored. */
SWIGINTERN bool store_this(PyObject *inst, PyObject *swig_this) {
    PyObject **dictptr = _PyObject_GetDictPtr(inst);
#if !defined(SWIG_PYTHON_SLOW_GETSET_THIS)
    if (!dictptr) return true;  /* no instance dictionary: no `this`, as in the runtime */
    if (!*dictptr && !(*dictptr = PyDict_New())) return false;
    PyObject *dict = *dictptr;
    Py_INCREF(dict);
    const bool stored = PyDict_SetItem(dict, SWIG_This(), swig_this) == 0;
#else
    PyObject *dict = dictptr ? *dictptr : 0;
    Py_XINCREF(dict);
    const bool stored = PyObject_SetAttr(inst, SWIG_This(), swig_this) == 0;
#endif
    Py_XDECREF(dict);
    return stored;
}

/* An instance of the class that data was made for, holding swig_this as its `this`, made
 * as the runtime makes one: through the class's __new__, else (a classic class under
 * Python 2.7, or a type without a __new__ to read) as a raw instance; null with an error
 * set. The class's __new__ runs script code that may register another class, which
 * releases data: what is read from it is held until the instance is made. */
SWIGINTERN PyObject *new_shadow_instance(SwigPyClientData *data, PyObject *swig_this) {
    PyObject *const newraw = data->newraw, *const newargs = data->newargs;
    Py_XINCREF(newraw);
    Py_INCREF(newargs);
    PyObject *inst = 0;
    if (newraw) {
        inst = PyObject_Call(newraw, newargs, NULL);
        if (inst && !store_this(inst, swig_this)) Py_CLEAR(inst);
    } else {
#if PY_VERSION_HEX >= 0x03000000
        PyObject *empty_args = PyTuple_New(0), *empty_kwargs = PyDict_New();
        if (empty_args && empty_kwargs)
            inst = reinterpret_cast<PyTypeObject *>(newargs)->tp_new(reinterpret_cast<PyTypeObject *>(newargs),
                                                                     empty_args, empty_kwargs);
        Py_XDECREF(empty_args);
        Py_XDECREF(empty_kwargs);
        if (inst && !store_this(inst, swig_this)) Py_CLEAR(inst);
        if (inst) PyType_Modified(Py_TYPE(inst));
#else
        /* A classic instance, made with a new dictionary that holds `this` already. */
        PyObject *dict = PyDict_New();
        if (dict && PyDict_SetItem(dict, SWIG_This(), swig_this) == 0) inst = PyInstance_NewRaw(newargs, dict);
        Py_XDECREF(dict);
#endif
    }
    Py_XDECREF(newraw);
    Py_DECREF(newargs);
    return inst;
}
%}
