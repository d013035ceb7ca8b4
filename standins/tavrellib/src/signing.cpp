// Signing and verifying data and hash values with the library's own key: detached
// CMS signatures carrying the signer's certificate, signatures with the data inside,
// and the raw form (a bare ECDSA value over the SHA-256 of the data, or over the
// hash given), which only the raw verification functions accept. A signature or
// hash is read from its binary form, or from its text form (base64) when the binary
// length is 0.
#include "call_record.h"
#include "library.h"
#include "sign_support.h"
#include "signed_data.h"

namespace tavrel_standin {
namespace {

constexpr DWORD sha256_code = 4;

bytes sha256_of(const unsigned char *data, size_t size) {
    bytes hash;
    digest(sha256_code, data, size, &hash);
    return hash;
}

// CMS over the data with the own key.
DWORD sign_data(const char *function, unsigned first_output, const unsigned char *data, DWORD size, bool detached,
                bool append_certificate, char **text, unsigned char **binary, DWORD *length) {
    if (!data && size) return KT_ERROR_BAD_PARAMETER;
    material_ptr key;
    if (DWORD status = current_key(&key)) return status;
    return guarded([&]() -> DWORD {
        bytes signature = cms_sign(*key, data, size, detached, append_certificate, 0);
        return hand_out_forms(function, first_output, signature, text, binary, length);
    });
}

// Signs `hash` (given in its two forms) with the own key, raw or as CMS.
DWORD sign_hash(const char *function, unsigned first_output, bool raw, const char *hash_text,
                const unsigned char *hash_binary, DWORD hash_length, char **text, unsigned char **binary,
                DWORD *length) {
    material_ptr key;
    if (DWORD status = current_key(&key)) return status;
    return guarded([&]() -> DWORD {
        bytes hash;
        if (DWORD status = input_form(hash_text, hash_binary, hash_length, &hash)) return status;
        bytes signature = raw ? raw_sign(*key, hash) : cms_sign_hash(*key, hash);
        return hand_out_forms(function, first_output, signature, text, binary, length);
    });
}

DWORD verify_data(const unsigned char *data, DWORD size, const char *sign_text, const unsigned char *sign_binary,
                  DWORD sign_length, KT_SIGN_INFO *info) {
    if (!data) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes signature;
        if (DWORD status = input_form(sign_text, sign_binary, sign_length, &signature)) return status;
        material_ptr holder;
        const X509 *certificate = verifying_certificate(signature, 0, &holder);
        verified_signer signer;
        verify_status result = cms_verify(data, size, signature.data(), signature.size(), certificate, 0, &signer);
        if (DWORD status = verdict(result)) return status;
        fill_sign_info(info, signer);
        return 0;
    });
}

DWORD verify_hash(bool raw, const char *hash_text, const unsigned char *hash_binary, DWORD hash_length,
                  const char *sign_text, const unsigned char *sign_binary, DWORD sign_length, KT_SIGN_INFO *info) {
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes hash, signature;
        if (DWORD status = input_form(hash_text, hash_binary, hash_length, &hash)) return status;
        if (DWORD status = input_form(sign_text, sign_binary, sign_length, &signature)) return status;
        verified_signer signer;
        if (raw) {
            material_ptr key;
            if (DWORD status = current_key(&key)) return status;
            if (!raw_verify(key->certificate.get(), hash, signature)) return TAVREL_STANDIN_ERROR_VERIFY;
            signer = own_signer(*key);
        } else {
            material_ptr holder;
            const X509 *fallback = verifying_certificate(signature, 0, &holder);
            if (DWORD status = verdict(cms_verify_hash(signature, hash, fallback, 0, &signer))) return status;
        }
        fill_sign_info(info, signer);
        return 0;
    });
}

// A raw verification of data: its SHA-256 against the raw signature.
DWORD raw_verify_data(const unsigned char *data, size_t size, const char *sign_text, const unsigned char *sign_binary,
                      DWORD sign_length, KT_SIGN_INFO *info) {
    bytes hash = sha256_of(data, size);
    return verify_hash(true, nullptr, hash.data(), DWORD(hash.size()), sign_text, sign_binary, sign_length, info);
}

// The entries that a plain function and its raw counterpart of the same prototype share.
DWORD sign_hash_entry(const char *function, bool raw, char *hash_text, unsigned char *hash_binary, DWORD hash_length,
                      char **text, unsigned char **binary, DWORD *length) {
    call_record(function)
        .text_and_sized(hash_text, hash_binary, hash_length)
        .pointer(text)
        .pointer(binary)
        .pointer(length);
    write_lent_text(function, 0, hash_text);
    if (DWORD injected = enter(function)) return injected;
    return sign_hash(function, 3, raw, hash_text, hash_binary, hash_length, text, binary, length);
}

DWORD verify_hash_entry(const char *function, bool raw, char *hash_text, unsigned char *hash_binary, DWORD hash_length,
                        char *sign_text, unsigned char *sign_binary, DWORD sign_length, KT_SIGN_INFO *info) {
    call_record(function)
        .text_and_sized(hash_text, hash_binary, hash_length)
        .text_and_sized(sign_text, sign_binary, sign_length)
        .bytes(info, sizeof(KT_SIGN_INFO));
    write_lent_text(function, 0, hash_text);
    write_lent_text(function, 3, sign_text);
    if (DWORD injected = enter(function)) return injected;
    return verify_hash(raw, hash_text, hash_binary, hash_length, sign_text, sign_binary, sign_length, info);
}

DWORD verify_data_entry(const char *function, bool raw, unsigned char *data, DWORD size, char *sign_text,
                        unsigned char *sign_binary, DWORD sign_length, KT_SIGN_INFO *info) {
    call_record(function).sized(data, size).text_and_sized(sign_text, sign_binary, sign_length).bytes(info, sizeof(KT_SIGN_INFO));
    write_lent_text(function, 2, sign_text);
    if (DWORD injected = enter(function)) return injected;
    if (!raw) return verify_data(data, size, sign_text, sign_binary, sign_length, info);
    if (!data) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD { return raw_verify_data(data, size, sign_text, sign_binary, sign_length, info); });
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTSignData(unsigned char *pbData, DWORD dwDataLength, char **ppszSign, unsigned char **ppbSign,
                 DWORD *pdwSignLength) {
    call_record(__func__).sized(pbData, dwDataLength).pointer(ppszSign).pointer(ppbSign).pointer(pdwSignLength);
    STANDIN_ENTER();
    return sign_data(__func__, 2, pbData, dwDataLength, true, true, ppszSign, ppbSign, pdwSignLength);
}

DWORD KTVerifyData(unsigned char *pbData, DWORD dwDataLength, char *pszSign, unsigned char *pbSign, DWORD dwSignLength,
                   PKT_SIGN_INFO pSignInfo) {
    return verify_data_entry(__func__, false, pbData, dwDataLength, pszSign, pbSign, dwSignLength, pSignInfo);
}

DWORD KTSignDataInternal(BOOL bAppendCert, unsigned char *pbData, DWORD dwDataLength, char **ppszSignedData,
                         unsigned char **ppbSignedData, DWORD *pdwSignedDataLength) {
    call_record(__func__)
        .number(bAppendCert)
        .sized(pbData, dwDataLength)
        .pointer(ppszSignedData)
        .pointer(ppbSignedData)
        .pointer(pdwSignedDataLength);
    STANDIN_ENTER();
    return sign_data(__func__, 3, pbData, dwDataLength, false, bAppendCert != 0, ppszSignedData, ppbSignedData,
                     pdwSignedDataLength);
}

DWORD KTVerifyDataInternal(char *pszSignedData, unsigned char *pbSignedData, DWORD dwSignedDataLength,
                           unsigned char **ppbData, DWORD *pdwDataLength, PKT_SIGN_INFO pSignInfo) {
    call_record(__func__)
        .text_and_sized(pszSignedData, pbSignedData, dwSignedDataLength)
        .pointer(ppbData)
        .pointer(pdwDataLength)
        .bytes(pSignInfo, sizeof(KT_SIGN_INFO));
    write_lent_text(__func__, 0, pszSignedData);
    STANDIN_ENTER();
    return verify_internal(__func__, 3, 0, pszSignedData, pbSignedData, dwSignedDataLength, nullptr, ppbData,
                           pdwDataLength, pSignInfo);
}

DWORD KTSignHash(char *pszHash, unsigned char *pbHash, DWORD dwHashLength, char **ppszSign, unsigned char **ppbSign,
                 DWORD *pdwSignLength) {
    return sign_hash_entry(__func__, false, pszHash, pbHash, dwHashLength, ppszSign, ppbSign, pdwSignLength);
}

DWORD KTVerifyHash(char *pszHash, unsigned char *pbHash, DWORD dwHashLength, char *pszSign, unsigned char *pbSign,
                   DWORD dwSignLength, PKT_SIGN_INFO pSignInfo) {
    return verify_hash_entry(__func__, false, pszHash, pbHash, dwHashLength, pszSign, pbSign, dwSignLength, pSignInfo);
}

DWORD KTRawSignData(unsigned char *pbData, DWORD dwDataLength, char **ppszSign, unsigned char **ppbSign,
                    DWORD *pdwSignLength) {
    call_record(__func__).sized(pbData, dwDataLength).pointer(ppszSign).pointer(ppbSign).pointer(pdwSignLength);
    STANDIN_ENTER();
    if (!pbData && dwDataLength) return KT_ERROR_BAD_PARAMETER;
    return guarded([&, function = __func__]() -> DWORD {
        bytes hash = sha256_of(pbData, dwDataLength);
        return sign_hash(function, 2, true, nullptr, hash.data(), DWORD(hash.size()), ppszSign, ppbSign, pdwSignLength);
    });
}

DWORD KTRawVerifyData(unsigned char *pbData, DWORD dwDataLength, char *pszSign, unsigned char *pbSign,
                      DWORD dwSignLength, PKT_SIGN_INFO pSignInfo) {
    return verify_data_entry(__func__, true, pbData, dwDataLength, pszSign, pbSign, dwSignLength, pSignInfo);
}

DWORD KTRawSignHash(char *pszHash, unsigned char *pbHash, DWORD dwHashLength, char **ppszSign, unsigned char **ppbSign,
                    DWORD *pdwSignLength) {
    return sign_hash_entry(__func__, true, pszHash, pbHash, dwHashLength, ppszSign, ppbSign, pdwSignLength);
}

DWORD KTRawVerifyHash(char *pszHash, unsigned char *pbHash, DWORD dwHashLength, char *pszSign, unsigned char *pbSign,
                      DWORD dwSignLength, PKT_SIGN_INFO pSignInfo) {
    return verify_hash_entry(__func__, true, pszHash, pbHash, dwHashLength, pszSign, pbSign, dwSignLength, pSignInfo);
}

// Writes the raw signature of the first file into the second.
DWORD KTRawSignFile(char *pszFileName, char *pszFileNameWithSign) {
    call_record(__func__).text(pszFileName).text(pszFileNameWithSign);
    write_lent_text(__func__, 0, pszFileName);
    write_lent_text(__func__, 1, pszFileNameWithSign);
    STANDIN_ENTER();
    material_ptr key;
    if (DWORD status = current_key(&key)) return status;
    return guarded([&]() -> DWORD {
        bytes data;
        if (DWORD status = read_named_file(pszFileName, &data)) return status;
        return write_named_file(pszFileNameWithSign, raw_sign(*key, sha256_of(data.data(), data.size())));
    });
}

DWORD KTRawVerifyFile(char *pszFileName, char *pszFileNameWithSign, PKT_SIGN_INFO pSignInfo) {
    call_record(__func__).text(pszFileName).text(pszFileNameWithSign).bytes(pSignInfo, sizeof(KT_SIGN_INFO));
    write_lent_text(__func__, 0, pszFileName);
    write_lent_text(__func__, 1, pszFileNameWithSign);
    STANDIN_ENTER();
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes data, signature;
        if (DWORD status = read_named_file(pszFileName, &data)) return status;
        if (DWORD status = read_named_file(pszFileNameWithSign, &signature)) return status;
        return raw_verify_data(data.data(), data.size(), nullptr, signature.data(), DWORD(signature.size()), pSignInfo);
    });
}

}  // extern "C"
