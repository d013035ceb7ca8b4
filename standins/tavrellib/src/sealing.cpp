#include "sealing.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>

namespace tavrel_standin {
namespace {

using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, openssl_deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, openssl_deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, openssl_deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

bool is_p256(const EVP_PKEY *key) {
    char group[32] = {};
    return EVP_PKEY_get_group_name(key, group, sizeof group, nullptr) == 1 && std::strcmp(group, "prime256v1") == 0;
}

// GCM over `size` bytes: `encrypt` writes `out`; decryption checks `tag`.
bool gcm(bool encrypt, const bytes &key, const unsigned char *iv, const bytes &associated, const unsigned char *in,
         size_t size, unsigned char *out, unsigned char *tag) {
    if (key.size() != aes_key_size || size > INT_MAX || associated.size() > INT_MAX) fail("gcm arguments");
    cipher_ctx_ptr ctx(check(EVP_CIPHER_CTX_new(), "EVP_CIPHER_CTX_new"));
    check(EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), iv, encrypt ? 1 : 0),
          "EVP_CipherInit_ex");
    int n = 0;
    if (!associated.empty())
        check(EVP_CipherUpdate(ctx.get(), nullptr, &n, associated.data(), int(associated.size())), "gcm aad");
    if (size) check(EVP_CipherUpdate(ctx.get(), out, &n, in, int(size)), "gcm update");
    if (!encrypt) check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, int(gcm_tag_size), tag), "gcm tag");
    if (EVP_CipherFinal_ex(ctx.get(), out + size, &n) != 1) {
        ERR_clear_error();
        if (encrypt) fail("gcm final");
        return false;
    }
    if (encrypt) check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, int(gcm_tag_size), tag), "gcm tag");
    return true;
}

}  // namespace

pkey_ptr new_agreement_key() { return pkey_ptr(check(EVP_EC_gen("P-256"), "EVP_EC_gen")); }

bytes public_key_der(const EVP_PKEY *key) {
    int size = i2d_PUBKEY(key, nullptr);
    check(size, "i2d_PUBKEY");
    bytes out(static_cast<size_t>(size));
    unsigned char *p = out.data();
    check(i2d_PUBKEY(key, &p), "i2d_PUBKEY");
    return out;
}

pkey_ptr public_key_from_der(const bytes &der) {
    if (der.empty() || der.size() > LONG_MAX) return nullptr;
    const unsigned char *p = der.data();
    pkey_ptr key(d2i_PUBKEY(nullptr, &p, long(der.size())));
    ERR_clear_error();
    if (!key || p != der.data() + der.size() || !is_p256(key.get())) return nullptr;
    return key;
}

bytes agree(const EVP_PKEY *own, const EVP_PKEY *peer, const bytes &salt, const std::string &label, size_t size) {
    pkey_ctx_ptr ctx(check(EVP_PKEY_CTX_new(const_cast<EVP_PKEY *>(own), nullptr), "EVP_PKEY_CTX_new"));
    check(EVP_PKEY_derive_init(ctx.get()), "EVP_PKEY_derive_init");
    check(EVP_PKEY_derive_set_peer(ctx.get(), const_cast<EVP_PKEY *>(peer)), "EVP_PKEY_derive_set_peer");
    size_t secret_size = 0;
    check(EVP_PKEY_derive(ctx.get(), nullptr, &secret_size), "EVP_PKEY_derive");
    bytes secret(secret_size);
    check(EVP_PKEY_derive(ctx.get(), secret.data(), &secret_size), "EVP_PKEY_derive");
    secret.resize(secret_size);

    pkey_ctx_ptr kdf(check(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr), "EVP_PKEY_CTX_new_id"));
    check(EVP_PKEY_derive_init(kdf.get()), "hkdf init");
    check(EVP_PKEY_CTX_set_hkdf_md(kdf.get(), EVP_sha256()), "hkdf md");
    check(EVP_PKEY_CTX_set1_hkdf_salt(kdf.get(), salt.data(), int(salt.size())), "hkdf salt");
    check(EVP_PKEY_CTX_set1_hkdf_key(kdf.get(), secret.data(), int(secret.size())), "hkdf key");
    check(EVP_PKEY_CTX_add1_hkdf_info(kdf.get(), reinterpret_cast<const unsigned char *>(label.data()),
                                      int(label.size())),
          "hkdf info");
    bytes out(size);
    size_t out_size = size;
    check(EVP_PKEY_derive(kdf.get(), out.data(), &out_size), "hkdf derive");
    OPENSSL_cleanse(secret.data(), secret.size());
    return out;
}

bytes seal(const bytes &key, const bytes &associated, const unsigned char *data, size_t size) {
    bytes out(gcm_iv_size + size + gcm_tag_size);
    check(RAND_bytes(out.data(), int(gcm_iv_size)), "RAND_bytes");
    gcm(true, key, out.data(), associated, data, size, out.data() + gcm_iv_size,
        out.data() + gcm_iv_size + size);
    return out;
}

bool open_sealed(const bytes &key, const bytes &associated, const bytes &sealed, bytes *data) {
    if (sealed.size() < gcm_iv_size + gcm_tag_size) return false;
    size_t size = sealed.size() - gcm_iv_size - gcm_tag_size;
    bytes out(size + 16);  // room for the final step, which writes nothing in GCM
    bytes tag(sealed.end() - gcm_tag_size, sealed.end());
    if (!gcm(false, key, sealed.data(), associated, sealed.data() + gcm_iv_size, size, out.data(), tag.data()))
        return false;
    out.resize(size);
    *data = std::move(out);
    return true;
}

bytes sign_digest(const EVP_PKEY *key, const bytes &message) {
    md_ctx_ptr ctx(check(EVP_MD_CTX_new(), "EVP_MD_CTX_new"));
    check(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, const_cast<EVP_PKEY *>(key)),
          "EVP_DigestSignInit");
    size_t size = 0;
    check(EVP_DigestSign(ctx.get(), nullptr, &size, message.data(), message.size()), "EVP_DigestSign");
    bytes out(size);
    check(EVP_DigestSign(ctx.get(), out.data(), &size, message.data(), message.size()), "EVP_DigestSign");
    out.resize(size);
    return out;
}

bool verify_digest(const X509 *certificate, const bytes &message, const bytes &signature) {
    EVP_PKEY *key = X509_get0_pubkey(certificate);
    if (!key) return false;
    md_ctx_ptr ctx(check(EVP_MD_CTX_new(), "EVP_MD_CTX_new"));
    check(EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key), "EVP_DigestVerifyInit");
    bool ok = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
    ERR_clear_error();
    return ok;
}

bytes random_bytes(size_t size) {
    bytes out(size);
    check(RAND_bytes(out.data(), int(size)), "RAND_bytes");
    return out;
}

field_writer &field_writer::number(uint32_t value) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<unsigned char>(value >> (8 * i)));
    return *this;
}

field_writer &field_writer::blob(const unsigned char *data, size_t size) {
    if (size > UINT32_MAX) fail("field too large");
    number(uint32_t(size));
    if (size) out_.insert(out_.end(), data, data + size);
    return *this;
}

field_writer &field_writer::blob(const std::string &text) {
    return blob(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

bool field_reader::take(size_t size, const unsigned char **where) {
    if (!ok_ || size > left_) return ok_ = false;
    *where = at_;
    at_ += size;
    left_ -= size;
    return true;
}

bool field_reader::number(uint32_t *value) {
    const unsigned char *p = nullptr;
    if (!take(4, &p)) return false;
    *value = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return true;
}

bool field_reader::blob(bytes *out) {
    uint32_t size = 0;
    const unsigned char *p = nullptr;
    if (!number(&size) || !take(size, &p)) return false;
    out->assign(p, p + size);
    return true;
}

bool field_reader::blob(std::string *out) {
    bytes data;
    if (!blob(&data)) return false;
    out->assign(data.begin(), data.end());
    return true;
}

}  // namespace tavrel_standin
