// File signatures built signer by signer through a library context, and COSE signing of
// data and files through a private-key context.
#include "call_record.h"
#include "cose.h"
#include "library.h"
#include "sign_support.h"
#include "signed_data.h"

namespace tavrel_standin {
namespace {

// A context handle and a sign code, as the file-signature functions check them.
DWORD check_context(PVOID context, DWORD algorithm) {
    if (!context || !is_context(context)) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = check_sign_algorithm(algorithm)) return status;
    return ready();
}

// A certificate given as bytes (none when the length is 0); CRYPTO when it is none.
DWORD optional_certificate(const unsigned char *der, DWORD length, x509_ptr *certificate) {
    if (!length) return 0;
    if (!der) return KT_ERROR_BAD_PARAMETER;
    *certificate = certificate_from_der(der, length);
    return *certificate ? 0 : TAVREL_STANDIN_ERROR_CRYPTO;
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

// The file's data inside a signature without signers, with the certificate (if given)
// among those it carries.
DWORD KTCtxCreateEmptySignFile(PVOID pvContext, DWORD dwSignAlgo, char *pszFileName, unsigned char *pbCertificate,
                               DWORD dwCertificateLength, char *pszFileNameWithSign) {
    call_record(__func__)
        .pointer(pvContext)
        .number(dwSignAlgo)
        .text(pszFileName)
        .sized(pbCertificate, dwCertificateLength)
        .text(pszFileNameWithSign);
    write_lent_text(__func__, 2, pszFileName);
    write_lent_text(__func__, 5, pszFileNameWithSign);
    STANDIN_ENTER();
    if (DWORD status = check_context(pvContext, dwSignAlgo)) return status;
    return guarded([&]() -> DWORD {
        x509_ptr certificate;
        if (DWORD status = optional_certificate(pbCertificate, dwCertificateLength, &certificate)) return status;
        bytes data;
        if (DWORD status = read_named_file(pszFileName, &data)) return status;
        bytes empty = empty_signature(data.data(), data.size());
        if (certificate) empty = signed_data(empty).with_signers_of(signed_data(empty), certificate.get());
        return write_named_file(pszFileNameWithSign, empty);
    });
}

// Appends the signers of a signature (as KTGetSigner gives one) to the signature in the
// first file, the certificate (if given) among its certificates, into the second.
DWORD KTCtxAppendSignerFile(PVOID pvContext, DWORD dwSignAlgo, unsigned char *pbSigner, DWORD dwSignerLength,
                            unsigned char *pbCertificate, DWORD dwCertificateLength, char *pszFileNameWithPreviousSign,
                            char *pszFileNameWithSign) {
    call_record(__func__)
        .pointer(pvContext)
        .number(dwSignAlgo)
        .sized(pbSigner, dwSignerLength)
        .sized(pbCertificate, dwCertificateLength)
        .text(pszFileNameWithPreviousSign)
        .text(pszFileNameWithSign);
    write_lent_text(__func__, 6, pszFileNameWithPreviousSign);
    write_lent_text(__func__, 7, pszFileNameWithSign);
    STANDIN_ENTER();
    if (!pbSigner || !dwSignerLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = check_context(pvContext, dwSignAlgo)) return status;
    return guarded([&]() -> DWORD {
        x509_ptr certificate;
        if (DWORD status = optional_certificate(pbCertificate, dwCertificateLength, &certificate)) return status;
        signed_data signers(bytes(pbSigner, pbSigner + dwSignerLength));
        if (!signers.valid()) return TAVREL_STANDIN_ERROR_CRYPTO;
        if (signers.signer_count() == 0) return KT_ERROR_BAD_PARAMETER;
        bytes previous;
        if (DWORD status = read_named_file(pszFileNameWithPreviousSign, &previous)) return status;
        signed_data before(previous);
        if (!before.valid()) return TAVREL_STANDIN_ERROR_CRYPTO;
        return write_named_file(pszFileNameWithSign, before.with_signers_of(std::move(signers), certificate.get()));
    });
}

DWORD KTCtxCOSESignData(PVOID pvPrivateKeyContext, DWORD dwSignAlgo, unsigned char *pbData, DWORD dwDataLength,
                        unsigned char **ppbSignedData, DWORD *pdwSignedDataLength) {
    call_record(__func__)
        .pointer(pvPrivateKeyContext)
        .number(dwSignAlgo)
        .sized(pbData, dwDataLength)
        .pointer(ppbSignedData)
        .pointer(pdwSignedDataLength);
    STANDIN_ENTER();
    if ((!pbData && dwDataLength) || !pdwSignedDataLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = check_sign_algorithm(dwSignAlgo)) return status;
    return guarded([&, function = __func__]() -> DWORD {
        material_ptr key;
        if (DWORD status = private_key_material(pvPrivateKeyContext, &key)) return status;
        return output_batch(function)
            .buffer(4, cose_sign(*key, pbData, dwDataLength), ppbSignedData, pdwSignedDataLength)
            .commit();
    });
}

DWORD KTCtxCOSESignFile(PVOID pvPrivateKeyContext, DWORD dwSignAlgo, char *pszFileName,
                        char *pszFileNameWithSignedData) {
    call_record(__func__).pointer(pvPrivateKeyContext).number(dwSignAlgo).text(pszFileName).text(
        pszFileNameWithSignedData);
    write_lent_text(__func__, 2, pszFileName);
    write_lent_text(__func__, 3, pszFileNameWithSignedData);
    STANDIN_ENTER();
    if (DWORD status = check_sign_algorithm(dwSignAlgo)) return status;
    return guarded([&]() -> DWORD {
        material_ptr key;
        if (DWORD status = private_key_material(pvPrivateKeyContext, &key)) return status;
        bytes data;
        if (DWORD status = read_named_file(pszFileName, &data)) return status;
        return write_named_file(pszFileNameWithSignedData, cose_sign(*key, data.data(), data.size()));
    });
}

}  // extern "C"
