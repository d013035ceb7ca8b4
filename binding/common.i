/* What every part of the module shares. SWIG turns every #define it reads into a module
 * constant: the files included here define none. */
%{
#include "Tavrel.h"
#include "record_registry.h"
%}

%include "kt_types.h"
%include "class_register.i"
%include "table_arg.i"
