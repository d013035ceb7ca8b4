#include "cose.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>

#include <cstdint>
#include <cstring>

namespace tavrel_standin {
namespace {

constexpr uint64_t tag_sign1 = 18;
constexpr uint64_t label_algorithm = 1;
constexpr uint64_t label_key_id = 4;
constexpr uint64_t label_x5chain = 33;
constexpr uint64_t es256_negated = 6;  // ES256 is -7: major type 1 with the value 6
constexpr size_t coordinate = 32;      // P-256

enum major : uint8_t {
    unsigned_int = 0,
    negative_int = 1,
    byte_string = 2,
    text_string = 3,
    array = 4,
    map = 5,
    tag = 6
};
constexpr uint8_t cbor_null = 0xF6;

using md_ctx_handle = std::unique_ptr<EVP_MD_CTX, openssl_deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using sig_handle = std::unique_ptr<ECDSA_SIG, openssl_deleter<ECDSA_SIG, ECDSA_SIG_free>>;

void head(bytes &out, major type, uint64_t value) {
    uint8_t m = uint8_t(type << 5);
    int extra = value < 24 ? 0 : value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFF ? 4 : 8;
    out.push_back(uint8_t(m | (extra == 0 ? value : extra == 1 ? 24 : extra == 2 ? 25 : extra == 4 ? 26 : 27)));
    for (int i = extra - 1; i >= 0; --i) out.push_back(uint8_t(value >> (8 * i)));
}

void string_item(bytes &out, major type, const void *data, size_t size) {
    head(out, type, size);
    const auto *p = static_cast<const unsigned char *>(data);
    out.insert(out.end(), p, p + size);
}

// Reads the items of the messages written here.
class reader {
  public:
    explicit reader(const bytes &data) : data_(data) {}
    bool at_end() const { return pos_ == data_.size(); }
    bool peek_null() const { return pos_ < data_.size() && data_[pos_] == cbor_null; }
    void skip() { ++pos_; }

    bool item(major expected, uint64_t *value) {
        if (pos_ >= data_.size()) return false;
        uint8_t first = data_[pos_++];
        if ((first >> 5) != expected) return false;
        uint8_t info = first & 0x1F;
        if (info < 24) {
            *value = info;
            return true;
        }
        if (info > 27) return false;
        size_t n = size_t(1) << (info - 24);
        if (data_.size() - pos_ < n) return false;
        *value = 0;
        for (size_t i = 0; i < n; ++i) *value = (*value << 8) | data_[pos_++];
        return true;
    }

    bool string(major type, bytes *out) {
        uint64_t size = 0;
        if (!item(type, &size) || data_.size() - pos_ < size) return false;
        out->assign(data_.begin() + long(pos_), data_.begin() + long(pos_ + size));
        pos_ += size;
        return true;
    }

  private:
    const bytes &data_;
    size_t pos_ = 0;
};

bytes signed_structure(const bytes &protected_header, const bytes &payload) {
    static const char context[] = "Signature1";
    bytes out;
    head(out, array, 4);
    string_item(out, text_string, context, sizeof context - 1);
    string_item(out, byte_string, protected_header.data(), protected_header.size());
    string_item(out, byte_string, nullptr, 0);  // no external data
    string_item(out, byte_string, payload.data(), payload.size());
    return out;
}

bytes es256_sign(const key_material &material, const bytes &message) {
    md_ctx_handle ctx(EVP_MD_CTX_new());
    size_t size = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, material.key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &size, message.data(), message.size()) != 1)
        fail("EVP_DigestSign");
    bytes der(size, 0);
    if (EVP_DigestSign(ctx.get(), der.data(), &size, message.data(), message.size()) != 1) fail("EVP_DigestSign");
    const unsigned char *p = der.data();
    sig_handle sig(d2i_ECDSA_SIG(nullptr, &p, long(size)));
    if (!sig) fail("d2i_ECDSA_SIG");
    bytes out(2 * coordinate, 0);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), coordinate) != int(coordinate) ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + coordinate, coordinate) != int(coordinate))
        fail("BN_bn2binpad");
    return out;
}

bool es256_verify(const X509 *certificate, const bytes &message, const bytes &signature) {
    if (signature.size() != 2 * coordinate) return false;
    sig_handle sig(ECDSA_SIG_new());
    BIGNUM *r = BN_bin2bn(signature.data(), coordinate, nullptr);
    BIGNUM *s = BN_bin2bn(signature.data() + coordinate, coordinate, nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        fail("ECDSA_SIG_set0");
    }
    bytes der = der_of<ECDSA_SIG, i2d_ECDSA_SIG>(sig.get(), "i2d_ECDSA_SIG");
    md_ctx_handle ctx(EVP_MD_CTX_new());
    EVP_PKEY *key = X509_get0_pubkey(certificate);
    bool ok = ctx && key && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(ctx.get(), der.data(), der.size(), message.data(), message.size()) == 1;
    ERR_clear_error();
    return ok;
}

bool parse_protected(const bytes &encoded, std::string *key_id) {
    reader r(encoded);
    uint64_t entries = 0, label = 0, algorithm = 0;
    if (!r.item(map, &entries) || entries != 2) return false;
    if (!r.item(unsigned_int, &label) || label != label_algorithm) return false;
    if (!r.item(negative_int, &algorithm) || algorithm != es256_negated) return false;
    bytes kid;
    if (!r.item(unsigned_int, &label) || label != label_key_id || !r.string(byte_string, &kid)) return false;
    key_id->assign(kid.begin(), kid.end());
    return r.at_end();
}

}  // namespace

bytes cose_sign(const key_material &material, const unsigned char *payload, size_t size) {
    std::string key_id = describe_certificate(material.certificate.get()).public_key_id;
    bytes protected_header;
    head(protected_header, map, 2);
    head(protected_header, unsigned_int, label_algorithm);
    head(protected_header, negative_int, es256_negated);
    head(protected_header, unsigned_int, label_key_id);
    string_item(protected_header, byte_string, key_id.data(), key_id.size());

    bytes content(payload, payload + size);
    bytes certificate = certificate_der(material.certificate.get());
    bytes signature = es256_sign(material, signed_structure(protected_header, content));

    bytes out;
    head(out, tag, tag_sign1);
    head(out, array, 4);
    string_item(out, byte_string, protected_header.data(), protected_header.size());
    head(out, map, 1);
    head(out, unsigned_int, label_x5chain);
    string_item(out, byte_string, certificate.data(), certificate.size());
    string_item(out, byte_string, content.data(), content.size());
    string_item(out, byte_string, signature.data(), signature.size());
    return out;
}

bool cose_parse(const bytes &message, cose_message *out) {
    reader r(message);
    uint64_t value = 0;
    if (!r.item(tag, &value) || value != tag_sign1 || !r.item(array, &value) || value != 4) return false;
    if (!r.string(byte_string, &out->protected_header) || !parse_protected(out->protected_header, &out->key_id))
        return false;
    uint64_t label = 0;
    if (!r.item(map, &value) || value != 1 || !r.item(unsigned_int, &label) || label != label_x5chain ||
        !r.string(byte_string, &out->certificate))
        return false;
    out->has_payload = !r.peek_null();
    if (out->has_payload) {
        if (!r.string(byte_string, &out->payload)) return false;
    } else {
        r.skip();
    }
    return r.string(byte_string, &out->signature) && r.at_end();
}

verify_status cose_verify(const cose_message &message, const bytes &detached, verified_signer *signer) {
    if (message.has_payload && !detached.empty()) return verify_status::mismatch;
    x509_ptr certificate = certificate_from_der(message.certificate.data(), message.certificate.size());
    if (!certificate) return verify_status::not_signature;
    const bytes &payload = message.has_payload ? message.payload : detached;
    if (!es256_verify(certificate.get(), signed_structure(message.protected_header, payload), message.signature))
        return verify_status::mismatch;
    signer->certificate = std::move(certificate);
    signer->has_time = false;
    return verify_status::ok;
}

}  // namespace tavrel_standin
