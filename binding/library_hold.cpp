#include "library_hold.h"

#include <dlfcn.h>

namespace Tavrel {
namespace {

unsigned long calls_in_flight = 0;
void *deferred_handle = nullptr;  // closed when the last call ends

}  // namespace

void hold_library() { ++calls_in_flight; }

void release_library() {
    if (--calls_in_flight == 0 && deferred_handle) {
        void *handle = deferred_handle;
        deferred_handle = nullptr;
        dlclose(handle);
    }
}

bool defer_close(void *handle) {
    if (calls_in_flight == 0) return false;
    if (deferred_handle) dlclose(deferred_handle);  // loaded again and unloaded again meanwhile
    deferred_handle = handle;
    return true;
}

}  // namespace Tavrel
