// Looking into signatures and signed data in memory and in files (signers, their
// certificates, sign types, the data inside), building signatures signer by signer,
// and verification on a given time. A signature file holds the binary form, or the
// text form (base64).
#include <cctype>

#include "call_record.h"
#include "library.h"
#include "sign_support.h"
#include "signed_data.h"

namespace tavrel_standin {
namespace {

// Every signer of the stand-in's signatures has a signing time and no time stamp.
constexpr DWORD sign_type_cades_bes = 1;

// A signature from memory; CRYPTO when it is no signature.
DWORD signature_in_memory(const char *text, const unsigned char *binary, DWORD length, bytes *der) {
    if (DWORD status = input_form(text, binary, length, der)) return status;
    return signed_data(*der).valid() ? 0 : TAVREL_STANDIN_ERROR_CRYPTO;
}

DWORD signature_in_file(const char *path, bytes *der) {
    if (DWORD status = read_named_file(path, der)) return status;
    if (signed_data(*der).valid()) return 0;
    std::string text(der->begin(), der->end());
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    bytes decoded;
    if (!from_base64(text, &decoded) || !signed_data(decoded).valid()) return TAVREL_STANDIN_ERROR_CRYPTO;
    der->swap(decoded);
    return 0;
}

// Runs `use` on the signature of a memory or file call, once the library is ready.
template <class Use>
DWORD with_signature(const char *text, const unsigned char *binary, DWORD length, const char *path, bool from_file,
                     Use &&use) {
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes der;
        DWORD status = from_file ? signature_in_file(path, &der) : signature_in_memory(text, binary, length, &der);
        if (status) return status;
        return use(signed_data(der));
    });
}

DWORD count_signers(const signed_data &signature, DWORD *count) {
    if (count) *count = signature.signer_count();
    return 0;
}

DWORD signer_info(const char *function, unsigned first_output, DWORD index, const signed_data &signature,
                  PKT_CERT_INFO_EX *info, unsigned char **certificate, DWORD *certificate_length) {
    if (!certificate_length) return KT_ERROR_BAD_PARAMETER;
    if (index >= signature.signer_count()) return KT_ERROR_BAD_PARAMETER;
    x509_ptr cert = signature.signer_certificate(index);
    if (!cert) return TAVREL_STANDIN_ERROR_CERT_NOT_FOUND;
    output_batch out(function);
    out.buffer(first_output + 1, certificate_der(cert.get()), certificate, certificate_length);
    if (info) *info = null_output_requested(function, first_output) ? nullptr : new_cert_info_ex(describe_certificate(cert.get()));
    return out.commit();
}

DWORD data_available(const signed_data &signature, BOOL *available) {
    if (available) *available = signature.has_content() ? 1 : 0;
    return 0;
}

DWORD signer_alone(const char *function, unsigned first_output, DWORD index, const signed_data &signature, char **text,
                   unsigned char **binary, DWORD *length) {
    if (index >= signature.signer_count()) return KT_ERROR_BAD_PARAMETER;
    return hand_out_forms(function, first_output, signature.signer_alone(index), text, binary, length);
}

DWORD sign_type(DWORD index, const signed_data &signature, DWORD *type) {
    if (index >= signature.signer_count()) return KT_ERROR_BAD_PARAMETER;
    if (type) *type = sign_type_cades_bes;
    return 0;
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTGetSignsCount(char *pszSign, unsigned char *pbSign, DWORD dwSignLength, DWORD *pdwCount) {
    call_record(__func__).text_and_sized(pszSign, pbSign, dwSignLength).pointer(pdwCount);
    write_lent_text(__func__, 0, pszSign);
    STANDIN_ENTER();
    return with_signature(pszSign, pbSign, dwSignLength, nullptr, false,
                          [&](const signed_data &s) { return count_signers(s, pdwCount); });
}

DWORD KTGetFileSignsCount(char *pszFileNameWithSign, DWORD *pdwCount) {
    call_record(__func__).text(pszFileNameWithSign).pointer(pdwCount);
    write_lent_text(__func__, 0, pszFileNameWithSign);
    STANDIN_ENTER();
    return with_signature(nullptr, nullptr, 0, pszFileNameWithSign, true,
                          [&](const signed_data &s) { return count_signers(s, pdwCount); });
}

DWORD KTGetSignerInfo(DWORD dwSignIndex, char *pszSign, unsigned char *pbSign, DWORD dwSignLength,
                      PKT_CERT_INFO_EX *ppInfo, unsigned char **ppbCertificate, DWORD *pdwCertificateLength) {
    call_record(__func__)
        .number(dwSignIndex)
        .text_and_sized(pszSign, pbSign, dwSignLength)
        .pointer(ppInfo)
        .pointer(ppbCertificate)
        .pointer(pdwCertificateLength);
    write_lent_text(__func__, 1, pszSign);
    STANDIN_ENTER();
    return with_signature(
        pszSign, pbSign, dwSignLength, nullptr, false, [&, function = __func__](const signed_data &s) {
            return signer_info(function, 4, dwSignIndex, s, ppInfo, ppbCertificate, pdwCertificateLength);
        });
}

DWORD KTGetFileSignerInfo(DWORD dwSignIndex, char *pszFileNameWithSign, PKT_CERT_INFO_EX *ppInfo,
                          unsigned char **ppbCertificate, DWORD *pdwCertificateLength) {
    call_record(__func__)
        .number(dwSignIndex)
        .text(pszFileNameWithSign)
        .pointer(ppInfo)
        .pointer(ppbCertificate)
        .pointer(pdwCertificateLength);
    write_lent_text(__func__, 1, pszFileNameWithSign);
    STANDIN_ENTER();
    return with_signature(
        nullptr, nullptr, 0, pszFileNameWithSign, true, [&, function = __func__](const signed_data &s) {
            return signer_info(function, 2, dwSignIndex, s, ppInfo, ppbCertificate, pdwCertificateLength);
        });
}

DWORD KTIsDataInSignedDataAvailable(char *pszSignedData, unsigned char *pbSignedData, DWORD dwSignedDataLength,
                                    BOOL *pbAvailable) {
    call_record(__func__).text_and_sized(pszSignedData, pbSignedData, dwSignedDataLength).pointer(pbAvailable);
    write_lent_text(__func__, 0, pszSignedData);
    STANDIN_ENTER();
    return with_signature(pszSignedData, pbSignedData, dwSignedDataLength, nullptr, false,
                          [&](const signed_data &s) { return data_available(s, pbAvailable); });
}

DWORD KTIsDataInSignedFileAvailable(char *pszFileNameWithSignedData, BOOL *pbAvailable) {
    call_record(__func__).text(pszFileNameWithSignedData).pointer(pbAvailable);
    write_lent_text(__func__, 0, pszFileNameWithSignedData);
    STANDIN_ENTER();
    return with_signature(nullptr, nullptr, 0, pszFileNameWithSignedData, true,
                          [&](const signed_data &s) { return data_available(s, pbAvailable); });
}

// CRYPTO for a signature without the data inside.
DWORD KTGetDataFromSignedData(char *pszSignedData, unsigned char *pbSignedData, DWORD dwSignedDataLength,
                              unsigned char **ppbData, DWORD *pdwDataLength) {
    call_record(__func__)
        .text_and_sized(pszSignedData, pbSignedData, dwSignedDataLength)
        .pointer(ppbData)
        .pointer(pdwDataLength);
    write_lent_text(__func__, 0, pszSignedData);
    STANDIN_ENTER();
    if (!pdwDataLength) return KT_ERROR_BAD_PARAMETER;
    return with_signature(pszSignedData, pbSignedData, dwSignedDataLength, nullptr, false,
                          [&, function = __func__](const signed_data &s) -> DWORD {
                              if (!s.has_content()) return TAVREL_STANDIN_ERROR_CRYPTO;
                              output_batch out(function);
                              out.buffer(3, s.content(), ppbData, pdwDataLength);
                              return out.commit();
                          });
}

DWORD KTGetSigner(DWORD dwSignIndex, char *pszSign, unsigned char *pbSign, DWORD dwSignLength, char **ppszSigner,
                  unsigned char **ppbSigner, DWORD *pdwSignerLength) {
    call_record(__func__)
        .number(dwSignIndex)
        .text_and_sized(pszSign, pbSign, dwSignLength)
        .pointer(ppszSigner)
        .pointer(ppbSigner)
        .pointer(pdwSignerLength);
    write_lent_text(__func__, 1, pszSign);
    STANDIN_ENTER();
    return with_signature(pszSign, pbSign, dwSignLength, nullptr, false,
                          [&, function = __func__](const signed_data &s) {
                              return signer_alone(function, 4, dwSignIndex, s, ppszSigner, ppbSigner, pdwSignerLength);
                          });
}

DWORD KTGetFileSigner(DWORD dwSignIndex, char *pszFileNameWithSign, char **ppszSigner, unsigned char **ppbSigner,
                      DWORD *pdwSignerLength) {
    call_record(__func__)
        .number(dwSignIndex)
        .text(pszFileNameWithSign)
        .pointer(ppszSigner)
        .pointer(ppbSigner)
        .pointer(pdwSignerLength);
    write_lent_text(__func__, 1, pszFileNameWithSign);
    STANDIN_ENTER();
    return with_signature(nullptr, nullptr, 0, pszFileNameWithSign, true,
                          [&, function = __func__](const signed_data &s) {
                              return signer_alone(function, 2, dwSignIndex, s, ppszSigner, ppbSigner, pdwSignerLength);
                          });
}

DWORD KTGetSignType(DWORD dwSignIndex, char *pszSign, unsigned char *pbSign, DWORD dwSignLength, DWORD *pdwSignType) {
    call_record(__func__).number(dwSignIndex).text_and_sized(pszSign, pbSign, dwSignLength).pointer(pdwSignType);
    write_lent_text(__func__, 1, pszSign);
    STANDIN_ENTER();
    return with_signature(pszSign, pbSign, dwSignLength, nullptr, false,
                          [&](const signed_data &s) { return sign_type(dwSignIndex, s, pdwSignType); });
}

DWORD KTGetFileSignType(DWORD dwSignIndex, char *pszFileNameWithSign, DWORD *pdwSignType) {
    call_record(__func__).number(dwSignIndex).text(pszFileNameWithSign).pointer(pdwSignType);
    write_lent_text(__func__, 1, pszFileNameWithSign);
    STANDIN_ENTER();
    return with_signature(nullptr, nullptr, 0, pszFileNameWithSign, true,
                          [&](const signed_data &s) { return sign_type(dwSignIndex, s, pdwSignType); });
}

// A signature with the data inside and no signer.
DWORD KTCreateEmptySign(unsigned char *pbData, DWORD dwDataLength, char **ppszSign, unsigned char **ppbSign,
                        DWORD *pdwSignLength) {
    call_record(__func__).sized(pbData, dwDataLength).pointer(ppszSign).pointer(ppbSign).pointer(pdwSignLength);
    STANDIN_ENTER();
    if (!pbData && dwDataLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&, function = __func__]() -> DWORD {
        return hand_out_forms(function, 2, empty_signature(pbData, dwDataLength), ppszSign, ppbSign, pdwSignLength);
    });
}

// Appends the signers of a signature (as KTGetSigner gives one) to the previous
// signature, adding the certificate (may be absent) to those it carries.
DWORD KTAppendSigner(char *pszSigner, unsigned char *pbSigner, DWORD dwSignerLength, unsigned char *pbCertificate,
                     DWORD dwCertificateLength, char *pszPreviousSign, unsigned char *pbPreviousSign,
                     DWORD dwPreviousSignLength, char **ppszSign, unsigned char **ppbSign, DWORD *pdwSignLength) {
    call_record(__func__)
        .text_and_sized(pszSigner, pbSigner, dwSignerLength)
        .sized(pbCertificate, dwCertificateLength)
        .text_and_sized(pszPreviousSign, pbPreviousSign, dwPreviousSignLength)
        .pointer(ppszSign)
        .pointer(ppbSign)
        .pointer(pdwSignLength);
    write_lent_text(__func__, 0, pszSigner);
    write_lent_text(__func__, 5, pszPreviousSign);
    STANDIN_ENTER();
    if (!pbCertificate && dwCertificateLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&, function = __func__]() -> DWORD {
        bytes signer, previous;
        if (DWORD status = signature_in_memory(pszSigner, pbSigner, dwSignerLength, &signer)) return status;
        if (DWORD status = signature_in_memory(pszPreviousSign, pbPreviousSign, dwPreviousSignLength, &previous))
            return status;
        x509_ptr certificate;
        if (dwCertificateLength) {
            certificate = certificate_from_der(pbCertificate, dwCertificateLength);
            if (!certificate) return TAVREL_STANDIN_ERROR_CRYPTO;
        }
        signed_data signers(signer);
        if (signers.signer_count() == 0) return KT_ERROR_BAD_PARAMETER;
        bytes combined = signed_data(previous).with_signers_of(std::move(signers), certificate.get());
        return hand_out_forms(function, 8, combined, ppszSign, ppbSign, pdwSignLength);
    });
}

DWORD KTVerifyHashOnTimeEx(char *pszHash, unsigned char *pbHash, DWORD dwHashLength, DWORD dwSignIndex, char *pszSign,
                           unsigned char *pbSign, DWORD dwSignLength, PSYSTEMTIME pOnTime, BOOL bOffline, BOOL bNoCRL,
                           PKT_SIGN_INFO pSignInfo) {
    call_record(__func__)
        .text_and_sized(pszHash, pbHash, dwHashLength)
        .number(dwSignIndex)
        .text_and_sized(pszSign, pbSign, dwSignLength)
        .bytes(pOnTime, sizeof(SYSTEMTIME))
        .number(bOffline)
        .number(bNoCRL)
        .bytes(pSignInfo, sizeof(KT_SIGN_INFO));
    write_lent_text(__func__, 0, pszHash);
    write_lent_text(__func__, 4, pszSign);
    STANDIN_ENTER();
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes hash, signature;
        if (DWORD status = input_form(pszHash, pbHash, dwHashLength, &hash)) return status;
        if (DWORD status = input_form(pszSign, pbSign, dwSignLength, &signature)) return status;
        material_ptr holder;
        const X509 *fallback = verifying_certificate(signature, dwSignIndex, &holder);
        verified_signer signer;
        if (DWORD status = verdict(cms_verify_hash(signature, hash, fallback, dwSignIndex, &signer))) return status;
        on_time check{pOnTime};
        if (DWORD status = check_on_time(&check, signer)) return status;
        fill_sign_info(pSignInfo, signer);
        return 0;
    });
}

DWORD KTVerifyDataOnTimeEx(unsigned char *pbData, DWORD dwDataLength, DWORD dwSignIndex, char *pszSign,
                           unsigned char *pbSign, DWORD dwSignLength, PSYSTEMTIME pOnTime, BOOL bOffline, BOOL bNoCRL,
                           PKT_SIGN_INFO pSignInfo) {
    call_record(__func__)
        .sized(pbData, dwDataLength)
        .number(dwSignIndex)
        .text_and_sized(pszSign, pbSign, dwSignLength)
        .bytes(pOnTime, sizeof(SYSTEMTIME))
        .number(bOffline)
        .number(bNoCRL)
        .bytes(pSignInfo, sizeof(KT_SIGN_INFO));
    write_lent_text(__func__, 3, pszSign);
    STANDIN_ENTER();
    if (!pbData) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes signature;
        if (DWORD status = input_form(pszSign, pbSign, dwSignLength, &signature)) return status;
        material_ptr holder;
        const X509 *certificate = verifying_certificate(signature, dwSignIndex, &holder);
        verified_signer signer;
        verify_status result =
            cms_verify(pbData, dwDataLength, signature.data(), signature.size(), certificate, dwSignIndex, &signer);
        if (DWORD status = verdict(result)) return status;
        on_time check{pOnTime};
        if (DWORD status = check_on_time(&check, signer)) return status;
        fill_sign_info(pSignInfo, signer);
        return 0;
    });
}

DWORD KTVerifyDataInternalOnTimeEx(DWORD dwSignIndex, char *pszSignedData, unsigned char *pbSignedData,
                                   DWORD dwSignedDataLength, PSYSTEMTIME pOnTime, BOOL bOffline, BOOL bNoCRL,
                                   unsigned char **ppbData, DWORD *pdwDataLength, PKT_SIGN_INFO pSignInfo) {
    call_record(__func__)
        .number(dwSignIndex)
        .text_and_sized(pszSignedData, pbSignedData, dwSignedDataLength)
        .bytes(pOnTime, sizeof(SYSTEMTIME))
        .number(bOffline)
        .number(bNoCRL)
        .pointer(ppbData)
        .pointer(pdwDataLength)
        .bytes(pSignInfo, sizeof(KT_SIGN_INFO));
    write_lent_text(__func__, 1, pszSignedData);
    STANDIN_ENTER();
    on_time check{pOnTime};
    return verify_internal(__func__, 7, dwSignIndex, pszSignedData, pbSignedData, dwSignedDataLength, &check, ppbData,
                           pdwDataLength, pSignInfo);
}

}  // extern "C"
