/* Where the C API of Python 2.7 and Python 3 differ, for the module's own code; each name
 * below means the same in both. Byte data goes through the PyBytes_* names, which Python
 * 2.7 also has (they are its PyString_*), and text through PyUnicode_*, the same in both.
 *
 * One rule maps the two: Python 2.7's str is Python 3's bytes, its unicode Python 3's str.
 * Its int is a Python 3 int that fits a C long, its long any other Python 3 int, so a
 * number takes the same road, and meets the same limits, in both. */
#pragma once

#include <Python.h>

#include <cstring>

namespace Tavrel::py {

enum class key_spelling { none, native, byte };

/* Whether the size bytes at data are the text name. */
inline bool same_bytes(const char *data, Py_ssize_t size, const char *name) {
    const size_t length = std::strlen(name);
    return size_t(size) == length && std::memcmp(data, name, length) == 0;
}

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

/* How a dictionary key spells name, read from the key's own characters (no script code
 * runs, whatever the key's class): native (the interpreter's str, Python 2.7: also its
 * unicode), byte (Python 3 only: bytes, Python 2.7's str), or none. */
inline key_spelling spelling_of(PyObject *key, const char *name) {
    if (PyUnicode_Check(key))
        return PyUnicode_CompareWithASCIIString(key, name) == 0 ? key_spelling::native : key_spelling::none;
    return PyBytes_Check(key) && same_bytes(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key), name) ? key_spelling::byte
                                                                                                : key_spelling::none;
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

inline key_spelling spelling_of(PyObject *key, const char *name) {
    if (PyString_Check(key))
        return same_bytes(PyString_AS_STRING(key), PyString_GET_SIZE(key), name) ? key_spelling::native
                                                                                  : key_spelling::none;
    if (!PyUnicode_Check(key)) return key_spelling::none;
    const size_t length = std::strlen(name);
    if (size_t(PyUnicode_GET_SIZE(key)) != length) return key_spelling::none;
    const Py_UNICODE *chars = PyUnicode_AS_UNICODE(key);
    for (size_t i = 0; i < length; ++i)
        if (chars[i] != Py_UNICODE(static_cast<unsigned char>(name[i]))) return key_spelling::none;
    return key_spelling::native;
}

#endif

/* A static type object's head: one reference, of type `type`. */
inline void init_type_head(PyTypeObject &type) {
    PyObject *head = reinterpret_cast<PyObject *>(&type);
    head->ob_refcnt = 1;
    head->ob_type = &PyType_Type;
}

}  // namespace Tavrel::py
