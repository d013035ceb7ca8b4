// COSE signing of data and files with the library's own key, verification, and the
// key identifier of signed data. The sign code is 1 or 3 (ES256 either way); the
// external data of a verification is the payload of a message that carries none.
#include "call_record.h"
#include "cose.h"
#include "library.h"
#include "sign_support.h"

namespace tavrel_standin {
namespace {

// A message to verify or look into; CRYPTO when it is no COSE_Sign1 of ours.
DWORD parse_message(const bytes &data, cose_message *message) {
    return cose_parse(data, message) ? 0 : TAVREL_STANDIN_ERROR_CRYPTO;
}

DWORD verify_message(const bytes &signed_message, const unsigned char *external, DWORD external_length,
                     verified_signer *signer, bytes *payload) {
    if (!external && external_length) return KT_ERROR_BAD_PARAMETER;
    cose_message message;
    if (DWORD status = parse_message(signed_message, &message)) return status;
    bytes detached(external, external + external_length);
    if (DWORD status = verdict(cose_verify(message, detached, signer))) return status;
    *payload = message.has_payload ? message.payload : detached;
    return 0;
}

DWORD hand_out_key_id(const char *function, unsigned output, const bytes &signed_message, char **key_id) {
    cose_message message;
    if (DWORD status = parse_message(signed_message, &message)) return status;
    output_batch out(function);
    out.text(output, message.key_id, key_id);
    return out.commit();
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTCOSESignData(DWORD dwSignAlgo, unsigned char *pbData, DWORD dwDataLength, unsigned char **ppbSignedData,
                     DWORD *pdwSignedDataLength) {
    call_record(__func__)
        .number(dwSignAlgo)
        .sized(pbData, dwDataLength)
        .pointer(ppbSignedData)
        .pointer(pdwSignedDataLength);
    STANDIN_ENTER();
    if ((!pbData && dwDataLength) || !pdwSignedDataLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = check_sign_algorithm(dwSignAlgo)) return status;
    material_ptr key;
    if (DWORD status = current_key(&key)) return status;
    return guarded([&, function = __func__]() -> DWORD {
        output_batch out(function);
        out.buffer(3, cose_sign(*key, pbData, dwDataLength), ppbSignedData, pdwSignedDataLength);
        return out.commit();
    });
}

// Reads the first file and writes its COSE message into the second.
DWORD KTCOSESignFile(DWORD dwSignAlgo, char *pszFileName, char *pszFileNameWithSignedData) {
    call_record(__func__).number(dwSignAlgo).text(pszFileName).text(pszFileNameWithSignedData);
    write_lent_text(__func__, 1, pszFileName);
    write_lent_text(__func__, 2, pszFileNameWithSignedData);
    STANDIN_ENTER();
    if (DWORD status = check_sign_algorithm(dwSignAlgo)) return status;
    material_ptr key;
    if (DWORD status = current_key(&key)) return status;
    return guarded([&]() -> DWORD {
        bytes data;
        if (DWORD status = read_named_file(pszFileName, &data)) return status;
        return write_named_file(pszFileNameWithSignedData, cose_sign(*key, data.data(), data.size()));
    });
}

// Hands out the payload.
DWORD KTCOSEVerifyData(unsigned char *pbSignedData, DWORD dwSignedDataLength, unsigned char *pbExternalData,
                       DWORD dwExternalDataLength, unsigned char **ppbData, DWORD *pdwDataLength,
                       PKT_SIGN_INFO pSignInfo) {
    call_record(__func__)
        .sized(pbSignedData, dwSignedDataLength)
        .sized(pbExternalData, dwExternalDataLength)
        .pointer(ppbData)
        .pointer(pdwDataLength)
        .bytes(pSignInfo, sizeof(KT_SIGN_INFO));
    STANDIN_ENTER();
    if (!pbSignedData || !pdwDataLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&, function = __func__]() -> DWORD {
        bytes payload;
        verified_signer signer;
        bytes message(pbSignedData, pbSignedData + dwSignedDataLength);
        if (DWORD status = verify_message(message, pbExternalData, dwExternalDataLength, &signer, &payload))
            return status;
        output_batch out(function);
        out.buffer(4, payload, ppbData, pdwDataLength);
        fill_sign_info(pSignInfo, signer);
        return out.commit();
    });
}

// Verifies the message in the first file; writes the payload into the second when
// it is named.
DWORD KTCOSEVerifyFile(char *pszFileNameWithSignedData, unsigned char *pbExternalData, DWORD dwExternalDataLength,
                       char *pszFileName, PKT_SIGN_INFO pSignInfo) {
    call_record(__func__)
        .text_and_sized(pszFileNameWithSignedData, pbExternalData, dwExternalDataLength)
        .text(pszFileName)
        .bytes(pSignInfo, sizeof(KT_SIGN_INFO));
    write_lent_text(__func__, 0, pszFileNameWithSignedData);
    write_lent_text(__func__, 3, pszFileName);
    STANDIN_ENTER();
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes message, payload;
        if (DWORD status = read_named_file(pszFileNameWithSignedData, &message)) return status;
        verified_signer signer;
        if (DWORD status = verify_message(message, pbExternalData, dwExternalDataLength, &signer, &payload))
            return status;
        if (pszFileName && *pszFileName)
            if (DWORD status = write_named_file(pszFileName, payload)) return status;
        fill_sign_info(pSignInfo, signer);
        return 0;
    });
}

DWORD KTCOSEGetKeyIDFromSignedData(unsigned char *pbSignedData, DWORD dwSignedDataLength, char **ppszKeyID) {
    call_record(__func__).sized(pbSignedData, dwSignedDataLength).pointer(ppszKeyID);
    STANDIN_ENTER();
    if (!pbSignedData) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&, function = __func__]() -> DWORD {
        return hand_out_key_id(function, 2, bytes(pbSignedData, pbSignedData + dwSignedDataLength), ppszKeyID);
    });
}

DWORD KTCOSEGetKeyIDFromSignedFile(char *pszFileNameWithSignedData, char **ppszKeyID) {
    call_record(__func__).text(pszFileNameWithSignedData).pointer(ppszKeyID);
    write_lent_text(__func__, 0, pszFileNameWithSignedData);
    STANDIN_ENTER();
    if (DWORD status = ready()) return status;
    return guarded([&, function = __func__]() -> DWORD {
        bytes message;
        if (DWORD status = read_named_file(pszFileNameWithSignedData, &message)) return status;
        return hand_out_key_id(function, 1, message, ppszKeyID);
    });
}

}  // extern "C"
