// Everything cryptographic of the stand-in, over libcrypto: keys and self-signed
// certificates, certificate requests, CMS signatures, digests and PKCS#12 key files.
// Functions throw crypto_error when libcrypto refuses.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kt_types.h"

namespace tavrel_standin {

struct crypto_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws crypto_error for `what`, clearing libcrypto's error queue.
[[noreturn]] void fail(const char *what);
// fail(what) for a null pointer or a status <= 0.
template <class T>
T *check(T *p, const char *what) {
    if (!p) fail(what);
    return p;
}
void check(int rc, const char *what);

template <class T, void (*Free)(T *)>
struct openssl_deleter {
    void operator()(T *p) const { Free(p); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, openssl_deleter<EVP_PKEY, EVP_PKEY_free>>;
using x509_ptr = std::unique_ptr<X509, openssl_deleter<X509, X509_free>>;

using bytes = std::vector<unsigned char>;

// The DER encoding of `object` by libcrypto's i2d function `Encode`.
template <class T, int (*Encode)(const T *, unsigned char **)>
bytes der_of(const T *object, const char *what) {
    int size = Encode(object, nullptr);
    check(size, what);
    bytes out(static_cast<size_t>(size));
    unsigned char *p = out.data();
    check(Encode(object, &p), what);
    return out;
}

// A key pair with its own certificate, as the world file keeps it.
struct key_pem {
    std::string private_key;  // PKCS#8 PEM, unencrypted
    std::string certificate;  // X.509 PEM
};

// A certificate's texts (UTF-8) and times, as the library's records report them.
struct certificate_texts {
    std::string issuer, issuer_cn, serial, subject, subj_cn, subj_org, subj_org_unit, subj_title,
        subj_state, subj_locality, subj_email, subj_country, public_key, public_key_id, fingerprint;
    struct tm not_before {};
    struct tm not_after {};
    unsigned long public_key_bits = 0;
};
certificate_texts describe_certificate(const X509 *certificate);

// A key ready for use; shared by every private-key context read from it, and never
// changed once made, so threads may read it at once.
struct key_material {
    pkey_ptr key;
    x509_ptr certificate;
    certificate_texts description;  // of the certificate, made with the material
};
using material_ptr = std::shared_ptr<const key_material>;

material_ptr material_from_pem(const key_pem &pem);

// Subject of a certificate the stand-in makes (UTF-8); empty parts are left out.
struct subject_parts {
    std::string country, organization, unit, common_name, title, state, locality, email;
};

// A fresh P-256 key with a self-signed certificate for `subject`, valid from
// `not_before` to `not_after` (UTC).
key_pem generate_key_for(const subject_parts &subject, time_t not_before, time_t not_after);

// The same with the stand-in's usual subject, `unit` naming the medium.
key_pem generate_key(const std::string &unit, time_t not_before, time_t not_after);

// A DER certificate for the key of the DER PKCS#10 `request` (whose signature must
// verify), with the request's subject and extensions, the common name replaced by
// `common_name` when that is not empty, issued by the stand-in's device authority
// for two years from now. Throws crypto_error for anything but a valid request.
bytes issue_certificate(const unsigned char *request, size_t size, const std::string &common_name);

// PKCS#10 requests in DER: one for the material's own key (digital signature), and
// one for a fresh key-agreement key that is not kept; both with its subject.
bytes signing_request(const key_material &material);
bytes key_agreement_request(const key_material &material);

bytes certificate_der(const X509 *certificate);
x509_ptr certificate_from_der(const unsigned char *der, size_t size);  // null if not one

// CMS SignedData over `data` with the signing time as a signed attribute;
// `padding` > 0 adds an unsigned attribute of that many bytes.
bytes cms_sign(const key_material &material, const unsigned char *data, size_t size, bool detached,
               bool append_certificate, size_t padding);

enum class verify_status { ok, not_signature, no_signer, mismatch };
struct verified_signer {
    x509_ptr certificate;
    bool has_time = false;
    struct tm time {};
};
// Verifies signer `index` of `signature` over `data` (null for attached content)
// against `certificate` (null: the certificate inside the signature).
verify_status cms_verify(const unsigned char *data, size_t size, const unsigned char *signature,
                         size_t signature_size, const X509 *certificate, size_t index, verified_signer *signer);

// Digest by the library's hash codes (KT_CTX_HASH_ALGO_GOST34311 to _SHA256); false for another code.
bool digest(DWORD algorithm, const unsigned char *data, size_t size, bytes *out);

bytes make_pkcs12(const key_material &material, const std::string &password);
enum class pkcs12_status { ok, bad_password, not_pkcs12 };
pkcs12_status read_pkcs12(const bytes &der, const std::string &password, material_ptr *material);

// Hexadecimal of `size` bytes: upper case, as records report it, or lower case.
enum class hex_case { upper, lower };
std::string hex(const void *data, size_t size, hex_case letters = hex_case::upper);
// The bytes of a hexadecimal text (digits in pairs, either case); false when it is not one.
bool from_hex(const std::string &text, std::string *out);
// A name as RFC 2253 text, and the UTF-8 value of its first entry `nid` (empty if none).
std::string name_text(const X509_NAME *name);
std::string name_entry(const X509_NAME *name, int nid);

}  // namespace tavrel_standin
