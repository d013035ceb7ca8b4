#include "library_hold.h"

#include <dlfcn.h>

namespace Tavrel {

void library_hold_state::close_deferred() {
    void *handle = deferred_handle;
    deferred_handle = nullptr;
    dlclose(handle);
}

bool defer_close(void *handle) {
    if (library_hold_state::calls_in_flight == 0) return false;
    // Loaded again and unloaded again meanwhile.
    if (library_hold_state::deferred_handle) dlclose(library_hold_state::deferred_handle);
    library_hold_state::deferred_handle = handle;
    return true;
}

}  // namespace Tavrel
