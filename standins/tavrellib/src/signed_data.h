// The signatures of the signing, inspection and on-time functions: CMS SignedData
// (as cms_sign makes them) looked into, taken apart and put together signer by
// signer, signatures over a given hash value, and the raw form: a bare ECDSA value.
#pragma once

#include <openssl/cms.h>

#include <memory>
#include <vector>

#include "crypto.h"

namespace tavrel_standin {

using cms_handle = std::unique_ptr<CMS_ContentInfo, openssl_deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;

class signed_data {
  public:
    // valid() is false when `der` is no SignedData.
    explicit signed_data(const bytes &der);
    bool valid() const { return cms_ != nullptr; }
    size_t signer_count() const;
    // Signer `index`'s certificate among those the signature carries; null if not there.
    x509_ptr signer_certificate(size_t index) const;
    bool has_content() const;
    bytes content() const;
    // A detached signature holding signer `index` alone (index < signer_count()).
    bytes signer_alone(size_t index) const;
    // This signature with the signers of `signer` appended after its own, and
    // `certificate` (may be null) among its certificates.
    bytes with_signers_of(signed_data signer, const X509 *certificate) const;
    bytes der() const;

  private:
    cms_handle cms_;
};

// A signature holding no signer, with `data` inside.
bytes empty_signature(const unsigned char *data, size_t size);

// A detached signature whose signer signs `hash` as the data's SHA-256 value.
bytes cms_sign_hash(const key_material &material, const bytes &hash);
// Verifies signer `index` of `signature` against `hash` (its certificate: the one
// carried, else `fallback`).
verify_status cms_verify_hash(const bytes &signature, const bytes &hash, const X509 *fallback, size_t index,
                              verified_signer *signer);

// The raw form: an ECDSA value over `hash` (DER), with nothing around it.
bytes raw_sign(const key_material &material, const bytes &hash);
bool raw_verify(const X509 *certificate, const bytes &hash, const bytes &signature);

// Whether `certificate` is valid at `when` (UTC).
bool valid_at(const X509 *certificate, time_t when);

}  // namespace tavrel_standin
