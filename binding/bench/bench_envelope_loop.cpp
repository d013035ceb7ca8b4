// The direct C loops of the envelope and session benchmark: the same stand-in functions the
// module's wrappers call, with the library's buffers released as the wrappers release them.
#include <chrono>

#include "kt_api.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

// Envelops `data` to one recipient and opens it again, `rounds` times; seconds per round,
// or a negative number when a call fails.
extern "C" __attribute__((visibility("default"))) double tavrel_bench_envelope_c_loop(
    unsigned char *certificate, DWORD certificate_length, unsigned char *data, DWORD length, unsigned long rounds) {
    auto start = clock_type::now();
    for (unsigned long i = 0; i < rounds; ++i) {
        unsigned char *envelope = nullptr, *opened = nullptr;
        DWORD envelope_length = 0, opened_length = 0;
        if (KTEnvelopDataToRecipients(1, &certificate, &certificate_length, 0, data, length, nullptr, &envelope,
                                      &envelope_length) != 0)
            return -1;
        KT_ENVELOP_INFO sender{};
        DWORD status = KTDevelopData(nullptr, envelope, envelope_length, &opened, &opened_length, &sender);
        KTFreeSenderInfo(&sender);
        KTFreeMemory(opened);
        KTFreeMemory(envelope);
        if (status != 0) return -1;
    }
    return rounds ? seconds_since(start) / double(rounds) : 0.0;
}

// Encrypts `data` on one session and decrypts it on its peer, `rounds` times.
extern "C" __attribute__((visibility("default"))) double tavrel_bench_session_c_loop(
    void *sender, void *receiver, unsigned char *data, DWORD length, unsigned long rounds) {
    auto start = clock_type::now();
    for (unsigned long i = 0; i < rounds; ++i) {
        unsigned char *sealed = nullptr, *opened = nullptr;
        DWORD sealed_length = 0, opened_length = 0;
        if (KTSessionEncrypt(sender, data, length, &sealed, &sealed_length) != 0) return -1;
        DWORD status = KTSessionDecrypt(receiver, sealed, sealed_length, &opened, &opened_length);
        KTFreeMemory(opened);
        KTFreeMemory(sealed);
        if (status != 0) return -1;
    }
    return rounds ? seconds_since(start) / double(rounds) : 0.0;
}
