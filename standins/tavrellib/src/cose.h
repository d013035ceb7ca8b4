// The COSE form of the library's signatures: a tagged COSE_Sign1 message (ES256)
// whose protected header names the algorithm and the key identifier (the signer's
// public-key identifier in hexadecimal, as text bytes), whose unprotected header
// carries the signer's certificate (x5chain, DER), with the payload inside.
#pragma once

#include <string>

#include "crypto.h"

namespace tavrel_standin {

bytes cose_sign(const key_material &material, const unsigned char *payload, size_t size);

struct cose_message {
    bytes protected_header;  // as encoded, for the signed structure
    std::string key_id;
    bytes certificate;
    bool has_payload = false;
    bytes payload;
    bytes signature;  // r and s, 32 bytes each
};

// False when `message` is no COSE_Sign1 of this form.
bool cose_parse(const bytes &message, cose_message *out);

// Verifies `message` with the certificate it carries; `detached` is the payload of a
// message that carries none (and must be empty otherwise).
verify_status cose_verify(const cose_message &message, const bytes &detached, verified_signer *signer);

}  // namespace tavrel_standin
