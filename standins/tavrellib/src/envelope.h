// Envelopes: data encrypted for recipients given by their certificates, optionally signed
// by the sender. The functions take the sender's or recipient's key_material, so that the
// library-wide functions (the library's own key) and the private-key-context ones share them.
//
// Format (fields of sealing.h): the magic "VEKENV1\0"; flags (1 signed, 2 dynamic key); the
// originator's public key; the sender's certificate (empty when unknown); the recipient
// count, then per recipient its issuer, serial and key identifier (UTF-8 texts as records
// report them) and the content key sealed under the key agreed with it; last the sealed
// content, whose associated data is everything before it, so that no byte can change
// unnoticed. The content is the data, followed by a detached CMS signature when signed.
#pragma once

#include <vector>

#include "crypto.h"
#include "kt_api.h"

namespace tavrel_standin {

struct envelop_options {
    bool sign = false;                // a CMS signature by the sender inside
    bool dynamic_key = false;         // a one-time key agrees the content key, not the sender's
    bool append_certificate = false;  // with a dynamic key: name the sender all the same
};

// The recipients of a certificate list (count, DER buffers, lengths; a buffer may carry
// bytes after its certificate, such as a NUL). 2 for an empty or null list, CRYPTO for an
// element that is no certificate.
DWORD read_recipients(DWORD count, unsigned char *const *certificates, const DWORD *lengths,
                      std::vector<x509_ptr> *recipients);

// Envelops `data`. `sender` may be null only with a dynamic key and no signature (NO_KEY else).
DWORD envelop(const key_material *sender, const std::vector<x509_ptr> &recipients, const envelop_options &options,
              const unsigned char *data, size_t size, bytes *envelope);

struct opened_envelope {
    bytes data;
    verified_signer sender;  // its certificate null when the envelope names no sender
};

// Opens `envelope` with `recipient`'s key: CERT_NOT_FOUND when its certificate is not among
// the recipients, CRYPTO when the envelope is malformed or was changed, VERIFY when the
// signature inside does not match. `sender_certificate` (may be null) verifies a signed
// envelope that names no sender.
DWORD develop(const key_material &recipient, const bytes &envelope, const X509 *sender_certificate,
              opened_envelope *opened);

// Fills the caller's sender record from an opened envelope (released with KTFreeSenderInfo);
// for an envelope that names no sender, with bFilled 0 and every text empty.
void fill_sender_info(KT_ENVELOP_INFO *info, const opened_envelope &opened);

}  // namespace tavrel_standin
