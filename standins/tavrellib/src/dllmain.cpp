// The optional entry point; which one a variant has is chosen by compile definitions:
//   TAVREL_STANDIN_NO_DLLMAIN        no DllMain at all
//   TAVREL_STANDIN_REFUSING_DLLMAIN  refuses the attach (returns 0 for reason 1)
// Every DllMain appends "DllMain <reason>" to the call trace.
#include <cstdio>

#include "controls.h"
#include "kt_types.h"

#ifndef TAVREL_STANDIN_NO_DLLMAIN
extern "C" BOOL DllMain(void *handle, DWORD reason, void *reserved) {
    (void)handle;
    (void)reserved;
    char line[64];
    std::snprintf(line, sizeof line, "DllMain %lu", reason);
    tavrel_standin::trace_line(line);
#ifdef TAVREL_STANDIN_REFUSING_DLLMAIN
    if (reason == 1) return 0;
#endif
    return 1;
}
#endif
