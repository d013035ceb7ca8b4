// Library contexts beyond creation and the media read: their parameters, and private
// keys read from key bytes or opened on a key medium.
#include <algorithm>
#include <cstring>
#include <string>

#include "call_record.h"
#include "library.h"

namespace tavrel_standin {
namespace {

// The parameters a context knows; each takes a 4-byte value.
constexpr const char *context_parameters[] = {"CheckPrivateKey", "ResolveOIDs", "ExportableContext",
                                              "UseCouplePrivateKey"};
constexpr DWORD context_parameter_size = 4;

bool is_context_parameter(const char *name) {
    for (const char *known : context_parameters)
        if (std::strcmp(name, known) == 0) return true;
    return false;
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTCtxSetParameter(PVOID pvContext, char *pszName, PVOID pvValue, DWORD dwValueLength) {
    // Never more of the value than a parameter has.
    call_record(__func__)
        .pointer(pvContext)
        .text(pszName)
        .bytes(pvValue, std::min(dwValueLength, context_parameter_size))
        .number(dwValueLength);
    write_lent_text(__func__, 1, pszName);
    STANDIN_ENTER();
    if (!pvContext || !pszName || !pvValue || !is_context(pvContext)) return KT_ERROR_BAD_PARAMETER;
    if (dwValueLength != context_parameter_size || !is_context_parameter(pszName)) return KT_ERROR_BAD_PARAMETER;
    // The values change nothing the stand-in does: keys are always checked, OIDs resolved.
    return ready();
}

DWORD KTCtxReadPrivateKeyBinary(PVOID pvContext, unsigned char *pbPrivateKey, DWORD dwPrivateKeyLength,
                                char *pszPassword, PVOID *ppvPrivateKeyContext, PKT_CERT_OWNER_INFO pInfo) {
    call_record(__func__)
        .pointer(pvContext)
        .bytes(pbPrivateKey, dwPrivateKeyLength)
        .number(dwPrivateKeyLength)
        .text(pszPassword)
        .pointer(ppvPrivateKeyContext)
        .bytes(pInfo, sizeof(KT_CERT_OWNER_INFO));
    write_lent_text(__func__, 3, pszPassword);
    STANDIN_ENTER();
    if (!pvContext || !pbPrivateKey || !pszPassword || !ppvPrivateKeyContext || !is_context(pvContext))
        return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        material_ptr material;
        bytes der(pbPrivateKey, pbPrivateKey + dwPrivateKeyLength);
        if (DWORD status = pkcs12_read_status(read_pkcs12(der, pszPassword, &material))) return status;
        return open_private_key(pvContext, std::move(material), ppvPrivateKeyContext, pInfo,
                                null_output_requested(__func__, 4));
    });
}

DWORD KTCtxOpenPrivateKey(PVOID pvContext, PKT_KEY_MEDIA pKeyMedia, PVOID *ppvPrivateKeyContext) {
    call_record(__func__).pointer(pvContext).bytes(pKeyMedia, sizeof(KT_KEY_MEDIA)).pointer(ppvPrivateKeyContext);
    STANDIN_ENTER();
    if (!pvContext || !pKeyMedia || !ppvPrivateKeyContext || !is_context(pvContext)) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        material_ptr material;
        if (DWORD status = media_key(pKeyMedia, &material)) return status;
        return open_private_key(pvContext, std::move(material), ppvPrivateKeyContext, nullptr,
                                null_output_requested(__func__, 2));
    });
}

}  // extern "C"
