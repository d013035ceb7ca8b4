#include "signed_data.h"

#include <openssl/err.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>

namespace tavrel_standin {
namespace {

using pkey_ctx_handle = std::unique_ptr<EVP_PKEY_CTX, openssl_deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

struct x509_stack_release {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using x509_stack = std::unique_ptr<STACK_OF(X509), x509_stack_release>;

cms_handle parse(const bytes &der) {
    if (der.size() > LONG_MAX) return nullptr;
    const unsigned char *p = der.data();
    cms_handle cms(d2i_CMS_ContentInfo(nullptr, &p, long(der.size())));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed || p != der.data() + der.size()) {
        ERR_clear_error();
        return nullptr;
    }
    return cms;
}

bytes encode(const CMS_ContentInfo *cms) {
    return der_of<CMS_ContentInfo, i2d_CMS_ContentInfo>(cms, "i2d_CMS_ContentInfo");
}

STACK_OF(CMS_SignerInfo) * signers(CMS_ContentInfo *cms) {
    return check(CMS_get0_SignerInfos(cms), "signers");
}

x509_ptr certificate_of(CMS_ContentInfo *cms, CMS_SignerInfo *si) {
    x509_stack certs(CMS_get1_certs(cms));
    for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i) {
        X509 *cert = sk_X509_value(certs.get(), i);
        if (CMS_SignerInfo_cert_cmp(si, cert) == 0) {
            check(X509_up_ref(cert), "X509_up_ref");
            return x509_ptr(cert);
        }
    }
    return nullptr;
}

bool carries(CMS_ContentInfo *cms, const X509 *certificate) {
    x509_stack certs(CMS_get1_certs(cms));
    for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i)
        if (X509_cmp(sk_X509_value(certs.get(), i), certificate) == 0) return true;
    return false;
}

// Puts `data` inside the signature as its content.
void set_content(CMS_ContentInfo *cms, const unsigned char *data, size_t size) {
    if (size > INT_MAX) fail("data too large");
    static const unsigned char none = 0;
    check(CMS_set_detached(cms, 0), "CMS_set_detached");
    ASN1_OCTET_STRING *content = *CMS_get0_content(cms);
    content->flags &= ~ASN1_STRING_FLAG_CONT;  // given here, not streamed in
    check(ASN1_OCTET_STRING_set(content, data ? data : &none, int(size)), "ASN1_OCTET_STRING_set");
}

void signing_time(CMS_SignerInfo *si, verified_signer *signer) {
    signer->has_time = false;
    int at = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
    if (at < 0) return;
    ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(si, at), 0);
    if (!value || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME)) return;
    signer->has_time = ASN1_TIME_to_tm(value->value.utctime, &signer->time) == 1;
}

}  // namespace

signed_data::signed_data(const bytes &der) : cms_(parse(der)) {}

size_t signed_data::signer_count() const {
    return size_t(sk_CMS_SignerInfo_num(signers(cms_.get())));
}

x509_ptr signed_data::signer_certificate(size_t index) const {
    if (index >= signer_count()) return nullptr;
    return certificate_of(cms_.get(), sk_CMS_SignerInfo_value(signers(cms_.get()), int(index)));
}

bool signed_data::has_content() const {
    ASN1_OCTET_STRING **content = CMS_get0_content(cms_.get());
    return content && *content;
}

bytes signed_data::content() const {
    if (!has_content()) return {};
    const ASN1_OCTET_STRING *content = *CMS_get0_content(cms_.get());
    const unsigned char *data = ASN1_STRING_get0_data(content);
    return bytes(data, data + ASN1_STRING_length(content));
}

bytes signed_data::der() const {
    return encode(cms_.get());
}

bytes signed_data::signer_alone(size_t index) const {
    bytes whole = der();
    cms_handle alone = parse(whole);
    cms_handle trash = parse(whole);  // frees the signers taken out of `alone`
    check(alone && trash ? 1 : 0, "parse");
    STACK_OF(CMS_SignerInfo) *kept = signers(alone.get());
    STACK_OF(CMS_SignerInfo) *dropped = signers(trash.get());
    for (size_t i = signer_count(); i-- > 0;) {
        if (i == index) continue;
        check(sk_CMS_SignerInfo_push(dropped, sk_CMS_SignerInfo_delete(kept, int(i))), "push");
    }
    check(CMS_set_detached(alone.get(), 1), "CMS_set_detached");
    return encode(alone.get());
}

bytes signed_data::with_signers_of(signed_data signer, const X509 *certificate) const {
    // The result is built on `signer`, whose digest algorithms cover its signers;
    // this signature's signers and content move into it.
    signed_data previous(der());
    CMS_ContentInfo *result = signer.cms_.get();
    STACK_OF(CMS_SignerInfo) *into = signers(result);
    STACK_OF(CMS_SignerInfo) *from = signers(previous.cms_.get());
    for (int i = sk_CMS_SignerInfo_num(from); i-- > 0;)
        check(sk_CMS_SignerInfo_insert(into, sk_CMS_SignerInfo_delete(from, i), 0), "insert");
    x509_stack certs(CMS_get1_certs(previous.cms_.get()));
    for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i)
        if (!carries(result, sk_X509_value(certs.get(), i)))
            check(CMS_add1_cert(result, sk_X509_value(certs.get(), i)), "cert");
    if (certificate && !carries(result, certificate))
        check(CMS_add1_cert(result, const_cast<X509 *>(certificate)), "CMS_add1_cert");
    if (has_content()) {
        bytes data = content();
        set_content(result, data.data(), data.size());
    }
    return encode(result);
}

bytes empty_signature(const unsigned char *data, size_t size) {
    cms_handle cms(check(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_PARTIAL), "CMS_sign"));
    set_content(cms.get(), data, size);
    return encode(cms.get());
}

bytes cms_sign_hash(const key_material &material, const bytes &hash) {
    if (hash.empty() || hash.size() > INT_MAX) fail("bad hash");
    unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_DETACHED | CMS_NOSMIMECAP;
    cms_handle cms(check(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags), "CMS_sign"));
    CMS_SignerInfo *si =
        check(CMS_add1_signer(cms.get(), material.certificate.get(), material.key.get(), EVP_sha256(), flags),
             "CMS_add1_signer");
    check(CMS_signed_add1_attr_by_NID(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data), -1),
         "content type");
    check(CMS_signed_add1_attr_by_NID(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, hash.data(), int(hash.size())),
         "message digest");
    check(CMS_SignerInfo_sign(si), "CMS_SignerInfo_sign");
    return encode(cms.get());
}

verify_status cms_verify_hash(const bytes &signature, const bytes &hash, const X509 *fallback, size_t index,
                              verified_signer *signer) {
    cms_handle cms = parse(signature);
    if (!cms) return verify_status::not_signature;
    STACK_OF(CMS_SignerInfo) *all = signers(cms.get());
    if (index >= size_t(sk_CMS_SignerInfo_num(all))) return verify_status::no_signer;
    CMS_SignerInfo *si = sk_CMS_SignerInfo_value(all, int(index));
    x509_ptr certificate = certificate_of(cms.get(), si);
    if (!certificate && fallback) {
        check(X509_up_ref(const_cast<X509 *>(fallback)), "X509_up_ref");
        certificate.reset(const_cast<X509 *>(fallback));
    }
    if (!certificate) return verify_status::mismatch;
    const ASN1_OCTET_STRING *digest = static_cast<const ASN1_OCTET_STRING *>(
        CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    if (!digest || size_t(ASN1_STRING_length(digest)) != hash.size() ||
        std::memcmp(ASN1_STRING_get0_data(digest), hash.data(), hash.size()) != 0)
        return verify_status::mismatch;
    CMS_SignerInfo_set1_signer_cert(si, certificate.get());
    if (CMS_SignerInfo_verify(si) != 1) {
        ERR_clear_error();
        return verify_status::mismatch;
    }
    signing_time(si, signer);
    signer->certificate = std::move(certificate);
    return verify_status::ok;
}

bytes raw_sign(const key_material &material, const bytes &hash) {
    pkey_ctx_handle ctx(check(EVP_PKEY_CTX_new(material.key.get(), nullptr), "EVP_PKEY_CTX_new"));
    check(EVP_PKEY_sign_init(ctx.get()), "EVP_PKEY_sign_init");
    size_t size = 0;
    check(EVP_PKEY_sign(ctx.get(), nullptr, &size, hash.data(), hash.size()), "EVP_PKEY_sign");
    bytes out(size, 0);
    check(EVP_PKEY_sign(ctx.get(), out.data(), &size, hash.data(), hash.size()), "EVP_PKEY_sign");
    out.resize(size);
    return out;
}

bool raw_verify(const X509 *certificate, const bytes &hash, const bytes &signature) {
    EVP_PKEY *key = X509_get0_pubkey(certificate);
    if (!key) return false;
    pkey_ctx_handle ctx(check(EVP_PKEY_CTX_new(key, nullptr), "EVP_PKEY_CTX_new"));
    check(EVP_PKEY_verify_init(ctx.get()), "EVP_PKEY_verify_init");
    bool ok = EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
    ERR_clear_error();
    return ok;
}

bool valid_at(const X509 *certificate, time_t when) {
    return X509_cmp_time(X509_get0_notBefore(certificate), &when) == -1 &&
           X509_cmp_time(X509_get0_notAfter(certificate), &when) == 1;
}

}  // namespace tavrel_standin
