// The direct C loop of the call-overhead benchmark: calls a function through a pointer.
#include <chrono>

extern "C" __attribute__((visibility("default"))) double tavrel_bench_c_loop(int (*function)(void),
                                                                            unsigned long calls) {
    volatile int sink = 0;
    auto start = std::chrono::steady_clock::now();
    for (unsigned long i = 0; i < calls; ++i) sink = sink + function();
    std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return calls ? elapsed.count() / double(calls) : 0.0;
}
