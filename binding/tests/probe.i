/* A module for the tests only: one wrapper that takes the table as every
 * KT_INTERFACE_<Name> wrapper does and calls one slot through it. It leaves KTGetInterface
 * to be resolved from _Tavrel, which the test imports with RTLD_GLOBAL first. */
%module _tavrel_probe

%{
#include "Tavrel.h"
%}

%include "runtime.i"
%include "table_arg.i"

%{
static void KT_INTERFACE_Probe(KT_INTERFACE *iface) {
    iface->KTIsInitialized();
}
%}
void KT_INTERFACE_Probe(KT_INTERFACE *iface);
