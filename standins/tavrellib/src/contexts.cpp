// Library contexts beyond creation and the media read: their parameters, private keys
// read from key bytes or opened on a key medium, and enveloping, opening and server
// sessions through a private-key context.
#include <algorithm>
#include <cstring>
#include <string>

#include "call_record.h"
#include "envelope.h"
#include "library.h"
#include "session.h"
#include "signed_data.h"
#include "sign_support.h"

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

// How an envelope names its recipients: by issuer and serial, or by key identifier.
constexpr DWORD recipients_by_issuer_serial = 1;  // KT_RECIPIENT_APPEND_TYPE_BY_ISSUER_SERIAL
constexpr DWORD recipients_by_key_id = 2;         // KT_RECIPIENT_APPEND_TYPE_BY_KEY_ID

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
        .sized(pbPrivateKey, dwPrivateKeyLength)
        .text(pszPassword)
        .pointer(ppvPrivateKeyContext)
        .bytes(pInfo, sizeof(KT_CERT_OWNER_INFO));
    write_lent_text(__func__, 3, pszPassword);
    STANDIN_ENTER();
    if (!pvContext || !pbPrivateKey || !pszPassword || !ppvPrivateKeyContext || !is_context(pvContext))
        return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&, function = __func__]() -> DWORD {
        material_ptr material;
        bytes der(pbPrivateKey, pbPrivateKey + dwPrivateKeyLength);
        if (DWORD status = pkcs12_read_status(read_pkcs12(der, pszPassword, &material))) return status;
        return open_private_key(pvContext, std::move(material), ppvPrivateKeyContext, pInfo,
                                null_output_requested(function, 4));
    });
}

DWORD KTCtxOpenPrivateKey(PVOID pvContext, PKT_KEY_MEDIA pKeyMedia, PVOID *ppvPrivateKeyContext) {
    call_record(__func__).pointer(pvContext).bytes(pKeyMedia, sizeof(KT_KEY_MEDIA)).pointer(ppvPrivateKeyContext);
    STANDIN_ENTER();
    if (!pvContext || !pKeyMedia || !ppvPrivateKeyContext || !is_context(pvContext)) return KT_ERROR_BAD_PARAMETER;
    return guarded([&, function = __func__]() -> DWORD {
        material_ptr material;
        if (DWORD status = media_key(pKeyMedia, &material)) return status;
        return open_private_key(pvContext, std::move(material), ppvPrivateKeyContext, nullptr,
                                null_output_requested(function, 2));
    });
}

DWORD KTCtxSignHashValue(PVOID pvPrivateKeyContext, DWORD dwSignAlgo, unsigned char *pbHash, DWORD dwHashLength,
                         BOOL bAppendCert, unsigned char **ppbSign, DWORD *pdwSignLength) {
    call_record(__func__)
        .pointer(pvPrivateKeyContext)
        .number(dwSignAlgo)
        .sized(pbHash, dwHashLength)
        .number(static_cast<unsigned int>(bAppendCert))
        .pointer(ppbSign)
        .pointer(pdwSignLength);
    STANDIN_ENTER();
    // Hash signatures always carry the signer's certificate here.
    if (!pbHash || dwHashLength == 0 || !pdwSignLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = check_sign_algorithm(dwSignAlgo)) return status;
    return guarded([&, function = __func__]() -> DWORD {
        material_ptr key;
        if (DWORD status = private_key_material(pvPrivateKeyContext, &key)) return status;
        bytes signature = cms_sign_hash(*key, bytes(pbHash, pbHash + dwHashLength));
        return output_batch(function).buffer(5, signature, ppbSign, pdwSignLength).commit();
    });
}

DWORD KTCtxEnvelopData(PVOID pvPrivateKeyContext, DWORD dwRecipientCerts, unsigned char **ppbRecipientCerts,
                       DWORD *pdwRecipientCertsLength, DWORD dwRecipientAppendType, BOOL bSignData, BOOL bAppendCert,
                       unsigned char *pbData, DWORD dwDataLength, unsigned char **ppbEnvelopedData,
                       DWORD *pdwEnvelopedDataLength) {
    call_record(__func__)
        .pointer(pvPrivateKeyContext)
        .byte_list(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength)
        .number(dwRecipientAppendType)
        .number(static_cast<unsigned int>(bSignData))
        .number(static_cast<unsigned int>(bAppendCert))
        .sized(pbData, dwDataLength)
        .pointer(ppbEnvelopedData)
        .pointer(pdwEnvelopedDataLength);
    STANDIN_ENTER();
    if ((!pbData && dwDataLength) || !pdwEnvelopedDataLength) return KT_ERROR_BAD_PARAMETER;
    // Both ways of naming recipients are kept alike here: by issuer, serial and key identifier.
    if (dwRecipientAppendType != recipients_by_issuer_serial && dwRecipientAppendType != recipients_by_key_id)
        return KT_ERROR_BAD_PARAMETER;
    return guarded([&, function = __func__]() -> DWORD {
        material_ptr sender;
        if (DWORD status = private_key_material(pvPrivateKeyContext, &sender)) return status;
        std::vector<x509_ptr> recipients;
        if (DWORD status = read_recipients(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength, &recipients))
            return status;
        envelop_options options;
        options.sign = bSignData != 0;
        options.append_certificate = bAppendCert != 0;
        bytes envelope;
        if (DWORD status = envelop(sender.get(), recipients, options, pbData, dwDataLength, &envelope)) return status;
        return output_batch(function).buffer(9, envelope, ppbEnvelopedData, pdwEnvelopedDataLength).commit();
    });
}

DWORD KTCtxDevelopData(PVOID pvPrivateKeyContext, char *pszEnvelopedData, unsigned char *pbEnvelopedData,
                       DWORD dwEnvelopedDataLength, unsigned char *pbSenderCert, DWORD dwSenderCertLength,
                       unsigned char **ppbData, DWORD *pdwDataLength, PKT_ENVELOP_INFO pSenderInfo) {
    call_record(__func__)
        .pointer(pvPrivateKeyContext)
        .text(pszEnvelopedData)
        .sized(pbEnvelopedData, dwEnvelopedDataLength)
        .sized(pbSenderCert, dwSenderCertLength)
        .pointer(ppbData)
        .pointer(pdwDataLength)
        .pointer(pSenderInfo);
    write_lent_text(__func__, 1, pszEnvelopedData);
    STANDIN_ENTER();
    if (!pdwDataLength || !pSenderInfo) return KT_ERROR_BAD_PARAMETER;
    return guarded([&, function = __func__]() -> DWORD {
        material_ptr recipient;
        if (DWORD status = private_key_material(pvPrivateKeyContext, &recipient)) return status;
        x509_ptr sender;
        if (dwSenderCertLength && !(sender = certificate_from_der(pbSenderCert, dwSenderCertLength)))
            return TAVREL_STANDIN_ERROR_CRYPTO;
        bytes envelope;
        if (DWORD status = input_form(pszEnvelopedData, pbEnvelopedData, dwEnvelopedDataLength, &envelope))
            return status;
        opened_envelope opened;
        if (DWORD status = develop(*recipient, envelope, sender.get(), &opened)) return status;
        output_batch out(function);
        out.buffer(6, opened.data, ppbData, pdwDataLength);
        fill_sender_info(pSenderInfo, opened);
        return out.commit();
    });
}

DWORD KTCtxServerDynamicKeySessionCreate(PVOID pvPrivateKeyContext, DWORD dwExpireTime, unsigned char *pbClientData,
                                         DWORD dwClientDataLength, PVOID *ppvServerSession) {
    call_record(__func__)
        .pointer(pvPrivateKeyContext)
        .number(dwExpireTime)
        .sized(pbClientData, dwClientDataLength)
        .pointer(ppvServerSession);
    STANDIN_ENTER();
    if (!ppvServerSession) return KT_ERROR_BAD_PARAMETER;
    return guarded([&, function = __func__]() -> DWORD {
        material_ptr own;
        if (DWORD status = private_key_material(pvPrivateKeyContext, &own)) return status;
        return server_dynamic_key_session(function, 4, own, dwExpireTime, pbClientData, dwClientDataLength,
                                          ppvServerSession);
    });
}

}  // extern "C"
