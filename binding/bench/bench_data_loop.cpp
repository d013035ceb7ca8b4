// The direct C loop of the data-path benchmark: calls a hashing or signing function of the
// library's shape (data, length, text out, binary out, length out) through a pointer,
// releasing both outputs after each call as the module does.
#include <chrono>

using two_form_function = unsigned long (*)(unsigned char *, unsigned long, char **, unsigned char **,
                                            unsigned long *);
using free_function = void (*)(unsigned char *);

extern "C" __attribute__((visibility("default"))) double tavrel_bench_data_loop(two_form_function function,
                                                                               free_function release,
                                                                               unsigned char *data,
                                                                               unsigned long size,
                                                                               unsigned long calls) {
    unsigned long failures = 0;
    auto start = std::chrono::steady_clock::now();
    for (unsigned long i = 0; i < calls; ++i) {
        char *text = nullptr;
        unsigned char *binary = nullptr;
        unsigned long length = 0;
        failures += function(data, size, &text, &binary, &length) != 0;
        release(reinterpret_cast<unsigned char *>(text));
        release(binary);
    }
    std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return failures || !calls ? -1.0 : elapsed.count() / double(calls);
}
