#include "crypto.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <climits>

#include "kt_constants.h"

namespace tavrel_standin {
namespace {

using bio_ptr = std::unique_ptr<BIO, openssl_deleter<BIO, BIO_free_all>>;
using req_ptr = std::unique_ptr<X509_REQ, openssl_deleter<X509_REQ, X509_REQ_free>>;
using cms_ptr = std::unique_ptr<CMS_ContentInfo, openssl_deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using p12_ptr = std::unique_ptr<PKCS12, openssl_deleter<PKCS12, PKCS12_free>>;
using bn_ptr = std::unique_ptr<BIGNUM, openssl_deleter<BIGNUM, BN_free>>;
using obj_ptr = std::unique_ptr<ASN1_OBJECT, openssl_deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;
using ext_ptr = std::unique_ptr<X509_EXTENSION, openssl_deleter<X509_EXTENSION, X509_EXTENSION_free>>;

struct x509_stack_deleter {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
struct ext_stack_deleter {
    void operator()(STACK_OF(X509_EXTENSION) * s) const { sk_X509_EXTENSION_pop_free(s, X509_EXTENSION_free); }
};

// Private arc (UUID-based OID) of the padding attribute of long signatures.
constexpr const char *padding_oid = "2.25.329800735698586629295641978511506172918";

// Names in the certificates the stand-in makes.
constexpr const char *subject_country = "UA";
constexpr const char *subject_organization = "Стенд ВЕК";
constexpr const char *subject_common_name = "Тестовий підписувач";
constexpr size_t max_unit_bytes = 60;  // X.509 allows 64 characters in a unit name

std::string bio_text(BIO *bio) {
    char *data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return std::string(data, size > 0 ? size_t(size) : 0);
}


void add_name_entry(X509_NAME *name, const char *field, const std::string &value) {
    check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(value.c_str()),
                                     -1, -1, 0),
          "X509_NAME_add_entry_by_txt");
}

ext_ptr make_extension(X509V3_CTX *ctx, int nid, const char *value) {
    return ext_ptr(check(X509V3_EXT_conf_nid(nullptr, ctx, nid, value), "X509V3_EXT_conf_nid"));
}

void set_time(ASN1_TIME *field, time_t when) { check(ASN1_TIME_set(field, when), "ASN1_TIME_set"); }

void set_random_serial(X509 *cert) {
    unsigned char serial[8];
    check(RAND_bytes(serial, sizeof serial), "RAND_bytes");
    serial[0] = (serial[0] & 0x7F) | 0x10;  // positive, always 8 bytes
    bn_ptr serial_bn(check(BN_bin2bn(serial, sizeof serial, nullptr), "BN_bin2bn"));
    check(BN_to_ASN1_INTEGER(serial_bn.get(), X509_get_serialNumber(cert)), "BN_to_ASN1_INTEGER");
}

bytes make_request(EVP_PKEY *key, const X509_NAME *subject, const char *key_usage) {
    req_ptr req(check(X509_REQ_new(), "X509_REQ_new"));
    check(X509_REQ_set_version(req.get(), 0), "X509_REQ_set_version");
    check(X509_REQ_set_subject_name(req.get(), subject), "X509_REQ_set_subject_name");
    check(X509_REQ_set_pubkey(req.get(), key), "X509_REQ_set_pubkey");
    std::unique_ptr<STACK_OF(X509_EXTENSION), ext_stack_deleter> extensions(
        check(sk_X509_EXTENSION_new_null(), "sk_X509_EXTENSION_new_null"));
    ext_ptr usage = make_extension(nullptr, NID_key_usage, key_usage);
    check(sk_X509_EXTENSION_push(extensions.get(), usage.get()), "sk_X509_EXTENSION_push");
    usage.release();
    check(X509_REQ_add_extensions(req.get(), extensions.get()), "X509_REQ_add_extensions");
    check(X509_REQ_sign(req.get(), key, EVP_sha256()), "X509_REQ_sign");
    return der_of<X509_REQ, i2d_X509_REQ>(req.get(), "i2d_X509_REQ");
}

void to_tm(const ASN1_TIME *time, struct tm *out) {
    struct tm parsed {};
    check(ASN1_TIME_to_tm(time, &parsed), "ASN1_TIME_to_tm");
    time_t seconds = timegm(&parsed);  // also fills the day of the week
    gmtime_r(&seconds, out);
}

}  // namespace

void fail(const char *what) {
    ERR_clear_error();
    throw crypto_error(what);
}

void check(int rc, const char *what) {
    if (rc <= 0) fail(what);
}

std::string hex(const void *data, size_t size, hex_case letters) {
    const char *digits = letters == hex_case::upper ? "0123456789ABCDEF" : "0123456789abcdef";
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

bool from_hex(const std::string &text, std::string *out) {
    auto value = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2) return false;
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = value(text[i]), low = value(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(char(high << 4 | low));
    }
    *out = std::move(bytes);
    return true;
}

std::string name_text(const X509_NAME *name) {
    bio_ptr bio(check(BIO_new(BIO_s_mem()), "BIO_new"));
    check(X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) >= 0 ? 1 : 0,
          "X509_NAME_print_ex");
    return bio_text(bio.get());
}

std::string name_entry(const X509_NAME *name, int nid) {
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) return {};
    unsigned char *utf8 = nullptr;
    int size = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (size < 0) return {};
    std::string out(reinterpret_cast<char *>(utf8), size_t(size));
    OPENSSL_free(utf8);
    return out;
}

material_ptr material_from_pem(const key_pem &pem) {
    auto material = std::make_shared<key_material>();
    bio_ptr key_bio(check(BIO_new_mem_buf(pem.private_key.data(), int(pem.private_key.size())), "BIO_new_mem_buf"));
    material->key.reset(check(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr), "private key PEM"));
    bio_ptr cert_bio(check(BIO_new_mem_buf(pem.certificate.data(), int(pem.certificate.size())), "BIO_new_mem_buf"));
    material->certificate.reset(check(PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr), "certificate PEM"));
    if (X509_check_private_key(material->certificate.get(), material->key.get()) != 1)
        fail("certificate does not match the private key");
    material->description = describe_certificate(material->certificate.get());
    return material;
}

key_pem generate_key(const std::string &unit, time_t not_before, time_t not_after) {
    subject_parts subject;
    subject.country = subject_country;
    subject.organization = subject_organization;
    subject.unit = unit;
    subject.common_name = subject_common_name;
    return generate_key_for(subject, not_before, not_after);
}

key_pem generate_key_for(const subject_parts &subject, time_t not_before, time_t not_after) {
    pkey_ptr key(check(EVP_EC_gen("P-256"), "EVP_EC_gen"));
    x509_ptr cert(check(X509_new(), "X509_new"));
    check(X509_set_version(cert.get(), X509_VERSION_3), "X509_set_version");
    set_random_serial(cert.get());
    set_time(X509_getm_notBefore(cert.get()), not_before);
    set_time(X509_getm_notAfter(cert.get()), not_after);

    X509_NAME *name = X509_get_subject_name(cert.get());
    const std::pair<const char *, const std::string *> parts[] = {
        {"C", &subject.country},  {"O", &subject.organization}, {"OU", &subject.unit},
        {"title", &subject.title}, {"ST", &subject.state},      {"L", &subject.locality},
        {"emailAddress", &subject.email}, {"CN", &subject.common_name},
    };
    for (const auto &[field, value] : parts)
        if (!value->empty() && value->size() <= max_unit_bytes) add_name_entry(name, field, *value);
    check(X509_set_issuer_name(cert.get(), name), "X509_set_issuer_name");
    check(X509_set_pubkey(cert.get(), key.get()), "X509_set_pubkey");

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    const std::pair<int, const char *> extensions[] = {
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "critical,digitalSignature,nonRepudiation"},
        {NID_subject_key_identifier, "hash"},
    };
    for (const auto &[nid, value] : extensions) {
        ext_ptr ext = make_extension(&ctx, nid, value);
        check(X509_add_ext(cert.get(), ext.get(), -1), "X509_add_ext");
    }
    check(X509_sign(cert.get(), key.get(), EVP_sha256()), "X509_sign");

    key_pem pem;
    bio_ptr key_bio(check(BIO_new(BIO_s_mem()), "BIO_new"));
    check(PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr),
          "PEM_write_bio_PrivateKey");
    pem.private_key = bio_text(key_bio.get());
    bio_ptr cert_bio(check(BIO_new(BIO_s_mem()), "BIO_new"));
    check(PEM_write_bio_X509(cert_bio.get(), cert.get()), "PEM_write_bio_X509");
    pem.certificate = bio_text(cert_bio.get());
    return pem;
}

bytes signing_request(const key_material &material) {
    return make_request(material.key.get(), X509_get_subject_name(material.certificate.get()),
                        "critical,digitalSignature,nonRepudiation");
}

bytes key_agreement_request(const key_material &material) {
    pkey_ptr key(check(EVP_EC_gen("P-256"), "EVP_EC_gen"));
    return make_request(key.get(), X509_get_subject_name(material.certificate.get()), "critical,keyAgreement");
}

bytes certificate_der(const X509 *certificate) { return der_of<X509, i2d_X509>(certificate, "i2d_X509"); }

x509_ptr certificate_from_der(const unsigned char *der, size_t size) {
    if (!der || size == 0 || size > LONG_MAX) return nullptr;
    const unsigned char *p = der;
    x509_ptr cert(d2i_X509(nullptr, &p, long(size)));
    ERR_clear_error();
    return cert;
}

bytes cms_sign(const key_material &material, const unsigned char *data, size_t size, bool detached,
               bool append_certificate, size_t padding) {
    if (size > INT_MAX) fail("data too large");
    static const unsigned char empty = 0;
    bio_ptr in(check(BIO_new_mem_buf(data ? data : &empty, int(size)), "BIO_new_mem_buf"));
    unsigned flags = CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL;
    if (detached) flags |= CMS_DETACHED;
    if (!append_certificate) flags |= CMS_NOCERTS;
    cms_ptr cms(check(CMS_sign(material.certificate.get(), material.key.get(), nullptr, nullptr, flags), "CMS_sign"));
    if (padding > 0) {
        CMS_SignerInfo *signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        obj_ptr oid(check(OBJ_txt2obj(padding_oid, 1), "OBJ_txt2obj"));
        bytes filler(padding, 0x5A);
        check(CMS_unsigned_add1_attr_by_OBJ(signer, oid.get(), V_ASN1_OCTET_STRING, filler.data(), int(filler.size())),
              "CMS_unsigned_add1_attr_by_OBJ");
    }
    check(CMS_final(cms.get(), in.get(), nullptr, flags), "CMS_final");
    return der_of<CMS_ContentInfo, i2d_CMS_ContentInfo>(cms.get(), "i2d_CMS_ContentInfo");
}

verify_status cms_verify(const unsigned char *data, size_t size, const unsigned char *signature,
                         size_t signature_size, const X509 *certificate, size_t index, verified_signer *signer) {
    if (signature_size > LONG_MAX || size > INT_MAX) return verify_status::not_signature;
    const unsigned char *p = signature;
    cms_ptr cms(d2i_CMS_ContentInfo(nullptr, &p, long(signature_size)));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        ERR_clear_error();
        return verify_status::not_signature;
    }
    STACK_OF(CMS_SignerInfo) *infos = CMS_get0_SignerInfos(cms.get());
    if (index >= size_t(sk_CMS_SignerInfo_num(infos))) return verify_status::no_signer;

    bio_ptr content;
    if (data) content.reset(check(BIO_new_mem_buf(data, int(size)), "BIO_new_mem_buf"));
    else if (CMS_is_detached(cms.get())) return verify_status::mismatch;

    std::unique_ptr<STACK_OF(X509), x509_stack_deleter> certs(check(sk_X509_new_null(), "sk_X509_new_null"));
    unsigned flags = CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY;
    if (certificate) {
        check(sk_X509_push(certs.get(), const_cast<X509 *>(certificate)), "sk_X509_push");
        flags |= CMS_NOINTERN;
    }
    if (CMS_verify(cms.get(), certs.get(), nullptr, content.get(), nullptr, flags) != 1) {
        ERR_clear_error();
        return verify_status::mismatch;
    }

    CMS_SignerInfo *info = sk_CMS_SignerInfo_value(infos, int(index));
    X509 *signer_cert = nullptr;
    CMS_SignerInfo_get0_algs(info, nullptr, &signer_cert, nullptr, nullptr);
    if (!signer_cert) return verify_status::mismatch;
    check(X509_up_ref(signer_cert), "X509_up_ref");
    signer->certificate.reset(signer_cert);

    signer->has_time = false;
    int at = CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1);
    if (at >= 0) {
        ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(info, at), 0);
        if (value && (value->type == V_ASN1_UTCTIME || value->type == V_ASN1_GENERALIZEDTIME)) {
            to_tm(value->value.utctime, &signer->time);
            signer->has_time = true;
        }
    }
    return verify_status::ok;
}

bool digest(DWORD algorithm, const unsigned char *data, size_t size, bytes *out) {
    const EVP_MD *md = nullptr;
    switch (algorithm) {
    case KT_CTX_HASH_ALGO_GOST34311: md = EVP_sha3_256(); break;  // stands in, 32 bytes as well
    case KT_CTX_HASH_ALGO_SHA160: md = EVP_sha1(); break;
    case KT_CTX_HASH_ALGO_SHA224: md = EVP_sha224(); break;
    case KT_CTX_HASH_ALGO_SHA256: md = EVP_sha256(); break;
    default: return false;
    }
    static const unsigned char empty = 0;
    unsigned int length = 0;
    out->resize(EVP_MAX_MD_SIZE);
    check(EVP_Digest(data ? data : &empty, size, out->data(), &length, md, nullptr), "EVP_Digest");
    out->resize(length);
    return true;
}

bytes make_pkcs12(const key_material &material, const std::string &password) {
    p12_ptr p12(check(PKCS12_create(password.c_str(), "tavrel stand-in key", material.key.get(),
                                    material.certificate.get(), nullptr, 0, 0, 0, 0, 0),
                      "PKCS12_create"));
    return der_of<PKCS12, i2d_PKCS12>(p12.get(), "i2d_PKCS12");
}

pkcs12_status read_pkcs12(const bytes &der, const std::string &password, material_ptr *material) {
    const unsigned char *p = der.data();
    p12_ptr p12(d2i_PKCS12(nullptr, &p, long(der.size())));
    if (!p12) {
        ERR_clear_error();
        return pkcs12_status::not_pkcs12;
    }
    if (PKCS12_mac_present(p12.get()) && PKCS12_verify_mac(p12.get(), password.c_str(), int(password.size())) != 1) {
        ERR_clear_error();
        return pkcs12_status::bad_password;
    }
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    STACK_OF(X509) *chain = nullptr;
    int parsed = PKCS12_parse(p12.get(), password.c_str(), &key, &cert, &chain);
    auto result = std::make_shared<key_material>();
    result->key.reset(key);
    result->certificate.reset(cert);
    sk_X509_pop_free(chain, X509_free);
    ERR_clear_error();
    if (parsed != 1) return pkcs12_status::bad_password;
    if (!key || !cert || X509_check_private_key(cert, key) != 1) {
        ERR_clear_error();
        return pkcs12_status::not_pkcs12;
    }
    result->description = describe_certificate(cert);
    *material = std::move(result);
    return pkcs12_status::ok;
}

certificate_texts describe_certificate(const X509 *certificate) {
    certificate_texts t;
    const X509_NAME *issuer = X509_get_issuer_name(certificate);
    const X509_NAME *subject = X509_get_subject_name(certificate);
    t.issuer = name_text(issuer);
    t.issuer_cn = name_entry(issuer, NID_commonName);
    t.subject = name_text(subject);
    t.subj_cn = name_entry(subject, NID_commonName);
    t.subj_org = name_entry(subject, NID_organizationName);
    t.subj_org_unit = name_entry(subject, NID_organizationalUnitName);
    t.subj_title = name_entry(subject, NID_title);
    t.subj_state = name_entry(subject, NID_stateOrProvinceName);
    t.subj_locality = name_entry(subject, NID_localityName);
    t.subj_email = name_entry(subject, NID_pkcs9_emailAddress);
    t.subj_country = name_entry(subject, NID_countryName);

    bn_ptr serial(check(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr), "ASN1_INTEGER_to_BN"));
    char *serial_hex = check(BN_bn2hex(serial.get()), "BN_bn2hex");
    t.serial = serial_hex;
    OPENSSL_free(serial_hex);

    to_tm(X509_get0_notBefore(certificate), &t.not_before);
    to_tm(X509_get0_notAfter(certificate), &t.not_after);

    const ASN1_BIT_STRING *key_bits = X509_get0_pubkey_bitstr(certificate);
    if (key_bits) t.public_key = hex(ASN1_STRING_get0_data(key_bits), size_t(ASN1_STRING_length(key_bits)));
    if (EVP_PKEY *key = X509_get0_pubkey(certificate)) t.public_key_bits = (unsigned long)EVP_PKEY_get_bits(key);
    if (const ASN1_OCTET_STRING *id = X509_get0_subject_key_id(const_cast<X509 *>(certificate)))
        t.public_key_id = hex(ASN1_STRING_get0_data(id), size_t(ASN1_STRING_length(id)));

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_size = 0;
    check(X509_digest(certificate, EVP_sha256(), md, &md_size), "X509_digest");
    t.fingerprint = hex(md, md_size);
    return t;
}

namespace {

// The authority that signs device certificates: one key per process.
const key_material &device_authority() {
    static const material_ptr authority = [] {
        subject_parts subject;
        subject.country = subject_country;
        subject.organization = subject_organization;
        subject.common_name = "Тестовий ЦСК пристроїв";
        time_t now = std::time(nullptr);
        return material_from_pem(generate_key_for(subject, now - 3600, now + 20L * 365 * 24 * 3600));
    }();
    return *authority;
}

}  // namespace

bytes issue_certificate(const unsigned char *request, size_t size, const std::string &common_name) {
    if (!request || size == 0 || size > LONG_MAX) fail("no request");
    const unsigned char *p = request;
    req_ptr req(d2i_X509_REQ(nullptr, &p, long(size)));
    if (!req) fail("not a certificate request");
    EVP_PKEY *public_key = check(X509_REQ_get0_pubkey(req.get()), "X509_REQ_get0_pubkey");
    if (X509_REQ_verify(req.get(), public_key) != 1) fail("request signature does not verify");

    const key_material &authority = device_authority();
    x509_ptr cert(check(X509_new(), "X509_new"));
    check(X509_set_version(cert.get(), X509_VERSION_3), "X509_set_version");
    set_random_serial(cert.get());
    time_t now = std::time(nullptr);
    set_time(X509_getm_notBefore(cert.get()), now - 60);
    set_time(X509_getm_notAfter(cert.get()), now - 60 + 730L * 24 * 3600);

    X509_NAME *name = X509_get_subject_name(cert.get());
    const X509_NAME *asked = X509_REQ_get_subject_name(req.get());
    for (int i = 0; i < X509_NAME_entry_count(asked); ++i) {
        const X509_NAME_ENTRY *entry = X509_NAME_get_entry(asked, i);
        if (!common_name.empty() && OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)) == NID_commonName) continue;
        check(X509_NAME_add_entry(name, entry, -1, 0), "X509_NAME_add_entry");
    }
    if (!common_name.empty()) add_name_entry(name, "CN", common_name);
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(authority.certificate.get())),
          "X509_set_issuer_name");
    check(X509_set_pubkey(cert.get(), public_key), "X509_set_pubkey");
    std::unique_ptr<STACK_OF(X509_EXTENSION), ext_stack_deleter> extensions(X509_REQ_get_extensions(req.get()));
    for (int i = 0; extensions && i < sk_X509_EXTENSION_num(extensions.get()); ++i)
        check(X509_add_ext(cert.get(), sk_X509_EXTENSION_value(extensions.get(), i), -1), "X509_add_ext");
    check(X509_sign(cert.get(), authority.key.get(), EVP_sha256()), "X509_sign");
    return certificate_der(cert.get());
}

}  // namespace tavrel_standin
