/* The loader of the signature library: opens tavrellib.so at run time and binds its
 * 541 functions into one process-wide KT_INTERFACE table.
 *
 * Exported from the module file, so a native caller in the same process can use it too.
 * The state is process-wide and unguarded: callers serialise (the module runs under the
 * interpreter lock). */
#pragma once

#include "kt_api.h"

#define TAVREL_EXPORT __attribute__((visibility("default")))

extern "C" {

/* Opens a library with immediate binding and calls its DllMain (if any) with attach.
 * Returns the handle, or null when the file cannot be opened or DllMain refuses. */
TAVREL_EXPORT void *LoadLibraryA(const char *path);

/* The address of a symbol of an opened library, or null. */
TAVREL_EXPORT void *GetProcAddress(void *handle, const char *name);

/* Calls DllMain (if any) with detach, then closes. 1 when closed cleanly, 0 otherwise. */
TAVREL_EXPORT BOOL FreeLibrary(void *handle);

/* Opens tavrellib.so and binds every slot; 1 when loaded (now or before), 0 on failure,
 * which leaves the library closed. */
TAVREL_EXPORT BOOL KTLoad(void);

/* The process-wide table while the library is loaded, else null. */
TAVREL_EXPORT KT_INTERFACE *KTGetInterface(void);

/* Closes the library: FreeLibrary's result, 0 when nothing was loaded. */
TAVREL_EXPORT BOOL KTUnload(void);
}
