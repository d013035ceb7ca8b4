/* The KT_INTERFACE class as scripts see it. SWIG is shown an empty struct: the slots are
 * reached only by the wrappers, through the real declaration in kt_api.h. */
%{
/* Tables made by new_KT_INTERFACE: blocks of the record registry with no fields. Never
 * destroyed: tables that scripts keep until exit stay reachable. */
static Tavrel::record_registry &_T_tables() {
    static Tavrel::record_registry *tables = new Tavrel::record_registry;
    return *tables;
}
static const kt_records::kt_record _T_table_layout = {"KT_INTERFACE", sizeof(KT_INTERFACE), nullptr, 0};
%}

typedef struct KT_INTERFACE {} KT_INTERFACE, *PKT_INTERFACE;
%types(PKT_INTERFACE);

%exception KT_INTERFACE::KT_INTERFACE {
    $action
    if (!result) {
        PyErr_NoMemory();
        SWIG_fail;
    }
}

%extend KT_INTERFACE {
    /* A zero-filled table: every slot null. */
    KT_INTERFACE() {
        const Tavrel::record_block *block = _T_tables().allocate(_T_table_layout, SWIGTYPE_p_KT_INTERFACE);
        return block ? static_cast<KT_INTERFACE *>(const_cast<void *>(block->start)) : 0;
    }
    /* Frees a live table made by new_KT_INTERFACE; None, a table already freed and the
     * process-wide table pass untouched. */
    ~KT_INTERFACE() {
        _T_tables().release($self);
    }
}

TAVREL_SWIGREGISTER(KT_INTERFACE, KT_INTERFACE)
