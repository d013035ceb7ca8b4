/* The KT_INTERFACE class as scripts see it. SWIG is shown an empty struct: the slots are
 * reached only by the wrappers, through the real declaration in kt_api.h. */
%{
/* Tables made by new_KT_INTERFACE: blocks of the record registry with no fields. Never
 * destroyed: tables that scripts keep until exit stay reachable. */
static Tavrel::record_registry &tables() {
    static Tavrel::record_registry *registry = new Tavrel::record_registry;
    return *registry;
}
static const kt_records::kt_record table_layout = {"KT_INTERFACE", sizeof(KT_INTERFACE), nullptr, 0};
%}

/* new_KT_INTERFACE: a zero-filled table, every slot null, as the bare pointer object that
 * owns it, also once a class is registered for the type (as new_<RECORD>). */
%native(new_KT_INTERFACE) PyObject *new_table(PyObject *self, PyObject *args);
%{
SWIGINTERN PyObject *new_table(PyObject *, PyObject *args) {
    if (!PyArg_ParseTuple(args, ":new_KT_INTERFACE")) return NULL;
    const Tavrel::record_block *block = tables().allocate(table_layout, SWIGTYPE_p_KT_INTERFACE);
    if (!block) return PyErr_NoMemory();
    PyObject *table = SWIG_NewPointerObj(const_cast<void *>(block->start), SWIGTYPE_p_KT_INTERFACE, SWIG_POINTER_NEW);
    if (!table) tables().release(block->start);
    return table;
}
%}

%nodefaultctor KT_INTERFACE;
typedef struct KT_INTERFACE {} KT_INTERFACE, *PKT_INTERFACE;
%types(PKT_INTERFACE);

%extend KT_INTERFACE {
    /* Frees a live table made by new_KT_INTERFACE; None, a table already freed and the
     * process-wide table pass untouched. */
    ~KT_INTERFACE() {
        tables().release($self);
    }
}

TAVREL_SWIGREGISTER(KT_INTERFACE, KT_INTERFACE)
