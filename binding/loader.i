/* The loader's functions as scripts see them. */

%typemap(out) BOOL KTLoad {
    if (!$1) {
        PyErr_SetString(PyExc_RuntimeError, "Error load library");
        SWIG_fail;
    }
    $result = SWIG_Py_Void();
}
%typemap(out) BOOL KTUnload {
    (void)$1;  /* the result is dropped */
    $result = SWIG_Py_Void();
}

BOOL KTLoad(void);
KT_INTERFACE *KTGetInterface(void);
BOOL KTUnload(void);
