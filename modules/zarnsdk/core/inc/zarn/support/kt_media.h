// The walk over the library's key media: every type, and every device of a type, in
// index order.
#pragma once

#include <cstddef>

#include "kt_api.h"
#include "zarn/support/exceptions.h"

namespace Zarn {
namespace Support {

// Room for a type or device description the library writes.
constexpr size_t kt_media_description_size = 272;

// An enumeration call that failed with a status other than "no more".
struct kt_media_failure {
    bool onDevice;  // KTEnumKeyMediaDevices, else KTEnumKeyMediaTypes
    DWORD typeIndex;
    DWORD devIndex;  // 0 for a type
    DWORD status;
};

// Walks types 0..31 and devices 0..31 of each until the library has no more.
// acceptType(typeIndex, char *description) says whether a type's devices are walked;
// visitDevice(typeIndex, devIndex, const char *description) returns true to end the
// walk. Descriptions are NUL-terminated. A failing call is handed to
// onFailure(const kt_media_failure &), then internal_error is thrown. Returns whether
// visitDevice ended the walk.
template <class AcceptType, class VisitDevice, class OnFailure>
bool kt_walk_media(AcceptType acceptType, VisitDevice visitDevice, OnFailure onFailure) {
    for (DWORD i = 0; i < KT_KEY_MEDIA_MAX_TYPES; ++i) {
        char typeText[kt_media_description_size] = {};
        DWORD status = KTEnumKeyMediaTypes(i, typeText);
        if (status == KT_ERROR_NO_MORE_ITEMS) break;
        if (status != KT_ERROR_NONE) {
            onFailure(kt_media_failure{false, i, 0, status});
            throw internal_error();
        }
        typeText[kt_media_description_size - 1] = '\0';
        if (!acceptType(i, typeText)) continue;
        for (DWORD j = 0; j < KT_KEY_MEDIA_MAX_DEVICES; ++j) {
            char devText[kt_media_description_size] = {};
            status = KTEnumKeyMediaDevices(i, j, devText);
            if (status == KT_ERROR_NO_MORE_ITEMS) break;
            if (status != KT_ERROR_NONE) {
                onFailure(kt_media_failure{true, i, j, status});
                throw internal_error();
            }
            devText[kt_media_description_size - 1] = '\0';
            if (visitDevice(i, j, static_cast<const char *>(devText))) return true;
        }
    }
    return false;
}

}  // namespace Support
}  // namespace Zarn
