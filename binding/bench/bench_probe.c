/* _tavrel_bench_probe: the interpreter's share of a wrapper call. `call(table)` is called
 * like a wrapper (an argument tuple, METH_VARARGS), unpacks its one item the same way and
 * returns a bool, doing nothing else. Built for Python 2.7 and for Python 3. */
#include <Python.h>

static PyObject *probe_call(PyObject *self, PyObject *args) {
    PyObject *item = NULL;
    (void)self;
    if (!(PyTuple_GET_SIZE(args) == 1 ? (item = PyTuple_GET_ITEM(args, 0), 1)
                                      : PyArg_ParseTuple(args, "O:call", &item)))
        return NULL;
    return PyBool_FromLong(item != NULL);
}

static PyMethodDef probe_methods[] = {
    {"call", probe_call, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

#if PY_MAJOR_VERSION >= 3
static struct PyModuleDef probe_module = {PyModuleDef_HEAD_INIT, "_tavrel_bench_probe", NULL, -1, probe_methods,
                                          NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__tavrel_bench_probe(void) { return PyModule_Create(&probe_module); }
#else
PyMODINIT_FUNC init_tavrel_bench_probe(void) { Py_InitModule("_tavrel_bench_probe", probe_methods); }
#endif
