/* What every part of the module shares. SWIG turns every #define it reads into a module
 * constant: the files included here define none. */
%begin %{
/* Python 3: the runtime's own char * conversions (record texts, text constants) take and
 * give bytes, as Python 2.7's str; no effect under Python 2.7. */
#define SWIG_PYTHON_STRICT_BYTE_CHAR
%}
%{
#include "Tavrel.h"
#include "record_registry.h"
%}

/* The standard integer types, which the library's declarations build on: they take their
 * place in the binding runtime's type table beside the library's own types. */
%include <stdint.i>
%include "kt_types.h"
%include "class_register.i"
%include "table_arg.i"
