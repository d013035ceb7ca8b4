/* _tavrel_bench_probe: the interpreter's share of a wrapper call. `call(table)` is called
 * like a wrapper (an argument tuple, METH_VARARGS), unpacks its one item the same way and
 * returns a bool, doing nothing else. */
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

PyMODINIT_FUNC init_tavrel_bench_probe(void) { Py_InitModule("_tavrel_bench_probe", probe_methods); }
