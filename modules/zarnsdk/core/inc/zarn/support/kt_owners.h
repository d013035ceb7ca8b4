// Owners of what the signature library hands out, and its error texts. Every owner
// releases with the library's own function, cannot be copied and can be moved; a moved
// owner holds nothing.
#pragma once

#include <utility>

#include "kt_api.h"

namespace Zarn {
namespace Support {

// The library's English text for a status; never null.
inline const char *kt_error_text(DWORD status) {
    const char *text = KTGetErrorLangDesc(status, KT_EN_LANG);
    return text ? text : "";
}

// One pointer the library made, released with `Release` unless null.
template <class Pointer, void (*Release)(Pointer)>
class kt_owner {
public:
    kt_owner() = default;
    kt_owner(kt_owner &&other) noexcept : pointer(std::exchange(other.pointer, nullptr)) {}
    kt_owner &operator=(kt_owner &&other) noexcept {
        if (this != &other) {
            reset();
            pointer = std::exchange(other.pointer, nullptr);
        }
        return *this;
    }
    kt_owner(const kt_owner &) = delete;
    kt_owner &operator=(const kt_owner &) = delete;
    ~kt_owner() { reset(); }

    Pointer get() const { return pointer; }
    explicit operator bool() const { return pointer != nullptr; }
    // Where the library writes a new pointer; what was held is released first.
    Pointer *out() {
        reset();
        return &pointer;
    }
    void reset() {
        if (pointer) Release(std::exchange(pointer, nullptr));
    }

private:
    Pointer pointer = nullptr;
};

using kt_context = kt_owner<PVOID, KTCtxFree>;
// Released before the context it was read through.
using kt_private_key = kt_owner<PVOID, KTCtxFreePrivateKey>;
using kt_buffer = kt_owner<unsigned char *, KTFreeMemory>;
using kt_cert_info = kt_owner<PKT_CERT_INFO_EX, KTFreeCertificateInfoEx>;

// The owner record a key read fills in place. Once the read succeeded (`adopt`), the
// record is released through the context the key was read with.
class kt_cert_owner_info {
public:
    kt_cert_owner_info() = default;
    kt_cert_owner_info(kt_cert_owner_info &&other) noexcept
        : record(std::exchange(other.record, KT_CERT_OWNER_INFO{})), context(std::exchange(other.context, nullptr)) {}
    kt_cert_owner_info &operator=(kt_cert_owner_info &&other) noexcept {
        if (this != &other) {
            reset();
            record = std::exchange(other.record, KT_CERT_OWNER_INFO{});
            context = std::exchange(other.context, nullptr);
        }
        return *this;
    }
    kt_cert_owner_info(const kt_cert_owner_info &) = delete;
    kt_cert_owner_info &operator=(const kt_cert_owner_info &) = delete;
    ~kt_cert_owner_info() { reset(); }

    const KT_CERT_OWNER_INFO &get() const { return record; }
    // The record for the library to fill; one held before is released first.
    PKT_CERT_OWNER_INFO out() {
        reset();
        return &record;
    }
    // The read through `readContext` succeeded: the record is now owned.
    void adopt(PVOID readContext) { context = readContext; }
    void reset() {
        if (context) KTCtxFreeCertOwnerInfo(std::exchange(context, nullptr), &record);
        record = KT_CERT_OWNER_INFO{};
    }

private:
    KT_CERT_OWNER_INFO record{};
    PVOID context = nullptr;
};

}  // namespace Support
}  // namespace Zarn
