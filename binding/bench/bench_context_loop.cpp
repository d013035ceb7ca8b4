// The direct C loop of the context-signing benchmark: KTCtxSignData on one private-key
// context, each signature released with KTFreeMemory, called through pointers.
#include <chrono>

#include "kt_types.h"

using sign_function = DWORD (*)(PVOID, DWORD, unsigned char *, DWORD, BOOL, BOOL, unsigned char **, DWORD *);
using release_function = void (*)(unsigned char *);

// Nanoseconds per signature, or -1 when a call fails.
extern "C" __attribute__((visibility("default"))) double tavrel_bench_ctx_sign_loop(
    sign_function sign, release_function release, PVOID key, DWORD algorithm, unsigned char *data, DWORD size,
    unsigned long calls) {
    auto start = std::chrono::steady_clock::now();
    for (unsigned long i = 0; i < calls; ++i) {
        unsigned char *signature = nullptr;
        DWORD length = 0;
        if (sign(key, algorithm, data, size, 1, 0, &signature, &length) != 0) return -1;
        release(signature);
    }
    std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return calls ? elapsed.count() / double(calls) : 0.0;
}
