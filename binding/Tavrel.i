/* The _Tavrel module. Its method table follows the order of the includes below; each
 * later part adds its functions in the file that holds its group. */
%module _Tavrel

%include "common.i"        /* headers, the library's types, shared helpers and typemaps */
%include "runtime.i"       /* SWIG_PyInstanceMethod_New */
%include "records.i"       /* record classes, in the order of sigapi/records.txt */
%include "items.i"         /* the item and result kinds of the wrappers */
%include "tavrel_wrappers.i"  /* KT_INTERFACE_<Name> wrappers in slot order, generated from wrapper_kinds.txt */
%include "kt_interface.i"  /* new_KT_INTERFACE, delete_KT_INTERFACE, KT_INTERFACE_swigregister */
%include "loader.i"        /* KTLoad, KTGetInterface, KTUnload */
%include "kt_constants.i"  /* the module constants, generated from sigapi/constants.txt */
