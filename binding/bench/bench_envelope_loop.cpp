// The direct C loops of the envelope and session benchmark: the same stand-in functions the
// module's wrappers call, with the library's buffers released as the wrappers release them.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "kt_api.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// With `copies`, what the module must do besides the call: the input copied with a NUL into
// a buffer of its own, the output copied into a new object; without, the data itself.
struct copier {
    bool copies;
    unsigned char *input(const unsigned char *data, DWORD length) {
        if (!copies) return const_cast<unsigned char *>(data);
        auto *copy = static_cast<unsigned char *>(std::malloc(length + 1));
        if (copy) {
            std::memcpy(copy, data, length);
            copy[length] = 0;
        }
        return copy;
    }
    void done(unsigned char *copy) {
        if (copies) std::free(copy);
    }
    void output(const unsigned char *data, DWORD length) {
        if (!copies || !data) return;
        void *object = std::malloc(length);
        if (object) std::memcpy(object, data, length);
        std::free(object);
    }
};

}  // namespace

// Envelops `data` to one recipient and opens it again, `rounds` times; seconds per round,
// or a negative number when a call fails.
extern "C" __attribute__((visibility("default"))) double tavrel_bench_envelope_c_loop(
    unsigned char *certificate, DWORD certificate_length, unsigned char *data, DWORD length, unsigned long rounds,
    int copies) {
    copier c{copies != 0};
    auto start = clock_type::now();
    for (unsigned long i = 0; i < rounds; ++i) {
        unsigned char *envelope = nullptr, *opened = nullptr;
        DWORD envelope_length = 0, opened_length = 0;
        unsigned char *input = c.input(data, length);
        DWORD status = KTEnvelopDataToRecipients(1, &certificate, &certificate_length, 0, input, length, nullptr,
                                                 &envelope, &envelope_length);
        c.done(input);
        if (status != 0) return -1;
        c.output(envelope, envelope_length);
        input = c.input(envelope, envelope_length);
        KT_ENVELOP_INFO sender{};
        status = KTDevelopData(nullptr, input, envelope_length, &opened, &opened_length, &sender);
        c.done(input);
        c.output(opened, opened_length);
        KTFreeSenderInfo(&sender);
        KTFreeMemory(opened);
        KTFreeMemory(envelope);
        if (status != 0) return -1;
    }
    return rounds ? seconds_since(start) / double(rounds) : 0.0;
}

// Encrypts `data` on one session and decrypts it on its peer, `rounds` times.
// Both loops: with `copies`, also the copies the module's item kinds make.
extern "C" __attribute__((visibility("default"))) double tavrel_bench_session_c_loop(
    void *sender, void *receiver, unsigned char *data, DWORD length, unsigned long rounds, int copies) {
    copier c{copies != 0};
    auto start = clock_type::now();
    for (unsigned long i = 0; i < rounds; ++i) {
        unsigned char *sealed = nullptr, *opened = nullptr;
        DWORD sealed_length = 0, opened_length = 0;
        unsigned char *input = c.input(data, length);
        DWORD status = KTSessionEncrypt(sender, input, length, &sealed, &sealed_length);
        c.done(input);
        if (status != 0) return -1;
        c.output(sealed, sealed_length);
        input = c.input(sealed, sealed_length);
        status = KTSessionDecrypt(receiver, input, sealed_length, &opened, &opened_length);
        c.done(input);
        c.output(opened, opened_length);
        KTFreeMemory(opened);
        KTFreeMemory(sealed);
        if (status != 0) return -1;
    }
    return rounds ? seconds_since(start) / double(rounds) : 0.0;
}
