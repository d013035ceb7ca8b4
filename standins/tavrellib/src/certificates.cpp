// The certificate store (the certificates of the world's keys and of the library's
// own key), parsed certificates and certificate requests.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "cp1251.h"
#include "library.h"

namespace tavrel_standin {
namespace {

using req_ptr = std::unique_ptr<X509_REQ, openssl_deleter<X509_REQ, X509_REQ_free>>;

// The key whose certificate has this issuer (Windows-1251, as records report it) and
// serial (hexadecimal, any case); null when none matches. Under the library lock.
material_ptr find_certificate(library_state &s, const char *issuer, const char *serial) {
    std::vector<material_ptr> keys;
    for (size_t t = 0; t < s.current.types.size(); ++t) {
        const auto &devices = s.current.types[t].devices;
        for (size_t d = 0; d < devices.size(); ++d)
            if (devices[d].key) keys.push_back(device_material(s, devices[d], {t, d}));
    }
    if (s.own_key) keys.push_back(s.own_key);
    for (const material_ptr &key : keys) {
        const certificate_texts &texts = key->description;
        if (utf8_to_cp1251_lossy(texts.issuer) == issuer && strcasecmp(texts.serial.c_str(), serial) == 0) return key;
    }
    return nullptr;
}

// Looks a certificate up and hands its key to `use`; CERT_NOT_FOUND when there is none.
template <class Use>
DWORD with_stored_certificate(const char *issuer, const char *serial, Use &&use) {
    return guarded([&]() -> DWORD {
        material_ptr key;
        {
            library_state &s = library();
            std::lock_guard<std::mutex> guard(s.lock);
            if (DWORD status = readiness(s)) return status;
            key = find_certificate(s, issuer, serial);
        }
        if (!key) return TAVREL_STANDIN_ERROR_CERT_NOT_FOUND;
        return use(*key);
    });
}

// Standard base64 without line breaks, NUL-terminated.
bytes base64_text(const bytes &data) {
    bytes out((data.size() + 2) / 3 * 4 + 1, 0);
    int n = EVP_EncodeBlock(out.data(), data.data(), int(data.size()));
    out.resize(size_t(n) + 1);
    return out;
}

KT_CR_INFO *new_cr_info(X509_REQ *request) {
    const X509_NAME *subject = X509_REQ_get_subject_name(request);
    KT_CR_INFO filled{};
    record_texts texts;
    filled.bFilled = 1;
    filled.dwVersion = KT_CR_INFO_VERSION;
    filled.bSimple = 1;
    filled.pszSubject = texts(name_text(subject));
    filled.pszSubjCN = texts(name_entry(subject, NID_commonName));
    filled.pszSubjOrg = texts(name_entry(subject, NID_organizationName));
    filled.pszSubjOrgUnit = texts(name_entry(subject, NID_organizationalUnitName));
    filled.pszSubjTitle = texts(name_entry(subject, NID_title));
    filled.pszSubjState = texts(name_entry(subject, NID_stateOrProvinceName));
    filled.pszSubjLocality = texts(name_entry(subject, NID_localityName));
    filled.pszSubjFullName = filled.pszSubjCN ? texts(name_entry(subject, NID_commonName)) : nullptr;
    filled.pszSubjEMail = texts(name_entry(subject, NID_pkcs9_emailAddress));
    filled.pszSubjCountry = texts(name_entry(subject, NID_countryName));

    EVP_PKEY *key = X509_REQ_get0_pubkey(request);
    if (key) {
        filled.dwPublicKeyBits = DWORD(EVP_PKEY_get_bits(key));
        filled.dwPublicKeyType =
            EVP_PKEY_get_base_id(key) == EVP_PKEY_EC ? KT_CERT_KEY_TYPE_ECDSA : KT_CERT_KEY_TYPE_UNKNOWN;
        unsigned char *der = nullptr;
        int size = i2d_PUBKEY(key, &der);
        if (size > 0) {
            unsigned char digest[SHA_DIGEST_LENGTH];
            SHA1(der, size_t(size), digest);
            filled.pszPublicKey = texts(hex(der, size_t(size)));
            filled.pszPublicKeyID = texts(hex(digest, sizeof digest));
            OPENSSL_free(der);
        }
        filled.bSelfSigned = X509_REQ_verify(request, key) == 1 ? 1 : 0;
        ERR_clear_error();
    }
    filled.dwSubjType = KT_SUBJECT_TYPE_END_USER;
    return new_library_record(filled, texts);
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTGetCertificate(char *pszIssuer, char *pszSerial, char **ppszCertificate, unsigned char **ppbCertificate,
                       DWORD *pdwCertificateLength) {
    STANDIN_ENTER();
    if (!pszIssuer || !pszSerial || !pdwCertificateLength) return KT_ERROR_BAD_PARAMETER;
    return with_stored_certificate(pszIssuer, pszSerial, [&](const key_material &key) -> DWORD {
        bytes der = certificate_der(key.certificate.get());
        unsigned char *text = ppszCertificate ? new_buffer(base64_text(der)) : nullptr;
        unsigned char *binary = nullptr;
        try {
            if (ppbCertificate) binary = new_buffer(der);
        } catch (...) {
            free_buffer(text);
            throw;
        }
        if (ppszCertificate) *ppszCertificate = reinterpret_cast<char *>(text);
        if (ppbCertificate) *ppbCertificate = binary;
        *pdwCertificateLength = der.size();
        return 0;
    });
}

DWORD KTEnumOwnCertificates(DWORD dwIndex, PKT_CERT_INFO_EX *ppInfo) {
    STANDIN_ENTER();
    if (!ppInfo) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        material_ptr key;
        {
            library_state &s = library();
            std::lock_guard<std::mutex> guard(s.lock);
            if (DWORD status = readiness(s)) return status;
            key = s.own_key;
        }
        if (!key) return TAVREL_STANDIN_ERROR_NO_KEY;
        if (dwIndex > 0) return KT_ERROR_NO_MORE_ITEMS;  // one certificate per key here
        *ppInfo = new_cert_info_ex(key->description);
        return 0;
    });
}

DWORD KTGetCertificateInfoEx(char *pszIssuer, char *pszSerial, PKT_CERT_INFO_EX *ppInfo) {
    STANDIN_ENTER();
    if (!pszIssuer || !pszSerial || !ppInfo) return KT_ERROR_BAD_PARAMETER;
    return with_stored_certificate(pszIssuer, pszSerial, [&](const key_material &key) -> DWORD {
        *ppInfo = new_cert_info_ex(key.description);
        return 0;
    });
}

DWORD KTParseCertificateEx(unsigned char *pbCertificate, DWORD dwCertificateLength, PKT_CERT_INFO_EX *ppInfo) {
    STANDIN_ENTER();
    if (!pbCertificate || !ppInfo) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        x509_ptr cert = certificate_from_der(pbCertificate, dwCertificateLength);
        if (!cert) return TAVREL_STANDIN_ERROR_CRYPTO;
        *ppInfo = new_cert_info_ex(describe_certificate(cert.get()));
        return 0;
    });
}

DWORD KTGetCRInfo(unsigned char *pbRequest, DWORD dwRequestLength, KT_CR_INFO **ppCRInfo) {
    STANDIN_ENTER();
    if (!pbRequest || !ppCRInfo) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        if (dwRequestLength == 0 || dwRequestLength > LONG_MAX) return TAVREL_STANDIN_ERROR_CRYPTO;
        const unsigned char *p = pbRequest;
        req_ptr request(d2i_X509_REQ(nullptr, &p, long(dwRequestLength)));
        ERR_clear_error();
        if (!request) return TAVREL_STANDIN_ERROR_CRYPTO;
        *ppCRInfo = new_cr_info(request.get());
        return 0;
    });
}

}  // extern "C"

namespace tavrel_standin {

DWORD stored_certificate(const char *issuer, const char *serial, x509_ptr *found) {
    return with_stored_certificate(issuer, serial, [&](const key_material &key) -> DWORD {
        X509 *cert = key.certificate.get();
        if (X509_up_ref(cert) != 1) return TAVREL_STANDIN_ERROR_CRYPTO;
        found->reset(cert);
        return 0;
    });
}

}  // namespace tavrel_standin
