/* The KT_INTERFACE class as scripts see it. SWIG is shown an empty struct: the slots are
 * reached only by the wrappers, through the real declaration in kt_api.h. */
%{
/* Tables made by new_KT_INTERFACE. Never destroyed: tables that scripts keep until exit
 * stay reachable. */
static Tavrel::live_registry &_T_tables() {
    static Tavrel::live_registry *tables = new Tavrel::live_registry;
    return *tables;
}
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
        return static_cast<KT_INTERFACE *>(_T_tables().allocate(sizeof(KT_INTERFACE)));
    }
    /* Frees a live table made by new_KT_INTERFACE; None, a table already freed and the
     * process-wide table pass untouched. */
    ~KT_INTERFACE() {
        _T_tables().release($self);
    }
}

TAVREL_SWIGREGISTER(KT_INTERFACE, KT_INTERFACE)
