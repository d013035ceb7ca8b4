/* Where the C API of Python 2.7 and Python 3 differ, for the module's own code; each name
 * below means the same in both. Byte data goes through the PyBytes_* names, which Python
 * 2.7 also has (they are its PyString_*), and text through PyUnicode_*, the same in both.
 *
 * One rule maps the two: Python 2.7's str is Python 3's bytes, its unicode Python 3's str.
 * Its int is a Python 3 int that fits a C long, its long any other Python 3 int, so a
 * number takes the same road, and meets the same limits, in both. */
#pragma once

#include <Python.h>

namespace Tavrel::py {

#if PY_MAJOR_VERSION >= 3

/* An integer object holding value: Python 2.7's int. */
inline PyObject *int_from_long(long value) { return PyLong_FromLong(value); }

/* Python 2.7's int: true with its value. A long (Python 3: an int beyond a C long) or any
 * other object: false, no error left. */
inline bool small_int(PyObject *object, long *value) {
    if (!PyLong_Check(object)) return false;
    int overflow = 0;
    *value = PyLong_AsLongAndOverflow(object, &overflow);
    if (overflow || (*value == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}

/* A long (Python 3: an int beyond a C long): what remains after small_int. */
inline bool big_int(PyObject *object) { return PyLong_Check(object); }

/* An interpreter's own str, as UTF-8 (the object keeps the buffer); null if none. */
inline const char *native_text(PyObject *object) { return PyUnicode_AsUTF8(object); }

/* func as a method of the instances of a class it is set on. */
inline PyObject *instance_method(PyObject *func) { return PyInstanceMethod_New(func); }

/* A class: a type (Python 2.7: also a classic class). */
inline bool is_class(PyObject *object) { return PyType_Check(object); }

/* Python 2.7's str spelling of the key name: a byte string; null, no error left, without
 * memory. */
inline PyObject *byte_string_key(const char *name) {
    PyObject *key = PyBytes_FromString(name);
    if (!key) PyErr_Clear();
    return key;
}

#else

inline PyObject *int_from_long(long value) { return PyInt_FromLong(value); }

inline bool small_int(PyObject *object, long *value) {
    if (!PyInt_Check(object)) return false;
    *value = PyInt_AS_LONG(object);
    return true;
}

inline bool big_int(PyObject *object) { return PyLong_Check(object); }

inline const char *native_text(PyObject *object) { return PyString_AsString(object); }

inline PyObject *instance_method(PyObject *func) { return PyMethod_New(func, NULL, NULL); }

inline bool is_class(PyObject *object) { return PyType_Check(object) || PyClass_Check(object); }

/* The native str is that spelling already, and an ASCII unicode key equals it. */
inline PyObject *byte_string_key(const char *) { return nullptr; }

#endif

/* A static type object's head: one reference, of type `type`. */
inline void init_type_head(PyTypeObject &type) {
    PyObject *head = reinterpret_cast<PyObject *>(&type);
    head->ob_refcnt = 1;
    head->ob_type = &PyType_Type;
}

}  // namespace Tavrel::py
