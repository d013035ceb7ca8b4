// What envelopes and sessions share: P-256 key agreement, key derivation, AES-256-GCM,
// ECDSA over SHA-256, and the length-prefixed fields their byte formats are made of.
// Functions throw crypto_error when libcrypto refuses.
#pragma once

#include <cstdint>
#include <string>

#include "crypto.h"

namespace tavrel_standin {

constexpr size_t aes_key_size = 32;
constexpr size_t gcm_iv_size = 12;
constexpr size_t gcm_tag_size = 16;

pkey_ptr new_agreement_key();  // a fresh P-256 key
bytes public_key_der(const EVP_PKEY *key);  // SubjectPublicKeyInfo
pkey_ptr public_key_from_der(const bytes &der);  // null if not a P-256 public key

// ECDH of `own` with `peer`, expanded by HKDF-SHA256 with `salt` and `label` into `size` bytes.
bytes agree(const EVP_PKEY *own, const EVP_PKEY *peer, const bytes &salt, const std::string &label, size_t size);

// AES-256-GCM: iv, ciphertext and tag in one byte string; opening gives false when the
// key, the associated data or any byte of `sealed` does not match.
bytes seal(const bytes &key, const bytes &associated, const unsigned char *data, size_t size);
bool open_sealed(const bytes &key, const bytes &associated, const bytes &sealed, bytes *data);

bytes sign_digest(const EVP_PKEY *key, const bytes &message);  // ECDSA with SHA-256
bool verify_digest(const X509 *certificate, const bytes &message, const bytes &signature);

bytes random_bytes(size_t size);

// A byte format of fields: numbers as 4 bytes little-endian, blobs as their length then bytes.
class field_writer {
  public:
    field_writer &number(uint32_t value);
    field_writer &blob(const unsigned char *data, size_t size);
    field_writer &blob(const bytes &data) { return blob(data.data(), data.size()); }
    field_writer &blob(const std::string &text);
    const bytes &data() const { return out_; }

  private:
    bytes out_;
};

// Reads what field_writer wrote; every read fails (false) past the end, and then stays failed.
class field_reader {
  public:
    field_reader(const unsigned char *data, size_t size) : at_(data), left_(size) {}
    bool number(uint32_t *value);
    bool blob(bytes *out);
    bool blob(std::string *out);
    size_t offset_from(const unsigned char *start) const { return size_t(at_ - start); }
    bool at_end() const { return ok_ && left_ == 0; }

  private:
    bool take(size_t size, const unsigned char **where);
    const unsigned char *at_;
    size_t left_;
    bool ok_ = true;
};

}  // namespace tavrel_standin
