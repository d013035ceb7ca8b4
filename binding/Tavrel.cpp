#include "Tavrel.h"

#include <dlfcn.h>

#include <cstring>

#include "library_hold.h"

namespace {

void *library = nullptr;  // null while nothing is loaded
KT_INTERFACE table;      // lives for the whole process; slots are never cleared

KT_DLLMAIN find_dll_main(void *handle) {
    return reinterpret_cast<KT_DLLMAIN>(dlsym(handle, KT_DLLMAIN_NAME));
}

// Calls DllMain (if any) with detach: false when it refuses.
bool detach(void *handle) {
    KT_DLLMAIN dll_main = find_dll_main(handle);
    return !dll_main || dll_main(handle, 0, nullptr);
}

}  // namespace

extern "C" {

void *LoadLibraryA(const char *path) {
    if (!path) return nullptr;  // dlopen(NULL) would hand out the main program
    void *handle = dlopen(path, RTLD_NOW);
    if (!handle) return nullptr;
    KT_DLLMAIN dll_main = find_dll_main(handle);
    if (dll_main && !dll_main(handle, 1, nullptr)) {
        dlclose(handle);
        return nullptr;
    }
    return handle;
}

void *GetProcAddress(void *handle, const char *name) {
    if (!handle || !name) return nullptr;  // a null handle would search the global scope
    return dlsym(handle, name);
}

BOOL FreeLibrary(void *handle) {
    if (!handle) return 0;
    const bool detached = detach(handle);
    const bool closed = dlclose(handle) == 0;
    return detached && closed;
}

BOOL KTLoad(void) {
    if (library) return 1;
    library = LoadLibraryA(KT_LIBRARY_FILE_NAME);
    if (!library) return 0;

    // Every name is looked up before any is checked; the table keeps what it was given.
    void *slots[kt_function_count];
    for (size_t i = 0; i < kt_function_count; ++i) slots[i] = GetProcAddress(library, kt_function_names[i]);
    static_assert(sizeof(slots) == sizeof(table), "one pointer per slot");
    std::memcpy(&table, slots, sizeof(table));

    for (void *slot : slots) {
        if (!slot) {
            FreeLibrary(library);
            library = nullptr;
            return 0;
        }
    }
    return 1;
}

KT_INTERFACE *KTGetInterface(void) {
    return library ? &table : nullptr;
}

BOOL KTUnload(void) {
    if (!library) return 0;
    void *handle = library;
    library = nullptr;
    // A wrapper call still under way closes it when it ends; DllMain detaches now.
    if (Tavrel::defer_close(handle)) return detach(handle);
    return FreeLibrary(handle);
}

}  // extern "C"
