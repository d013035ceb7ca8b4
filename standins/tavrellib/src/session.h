// Protected sessions between a client and a server: a four-step handshake in which both
// sides sign with their keys, a one-step handshake to a server's certificate with a dynamic
// client key, encryption that only the peer decrypts, and sessions saved as bytes.
//
// Handshake messages (fields of sealing.h), each beginning with its kind:
//   1 client hello:   one-time public key, nonce, client certificate
//   2 server hello:   one-time public key, nonce, server certificate, server's signature
//                     over hello and server hello
//   3 client finish:  client's signature over hello and server hello
//   4 dynamic hello:  one-time public key, nonce, the server certificate's issuer and serial
// Keys: HKDF-SHA256 over the ECDH secret of the two one-time keys (kind 4: the client's
// one-time key and the server's own key), salted with the nonces; one AES-256-GCM key for
// each direction.
#pragma once

#include "crypto.h"
#include "kt_types.h"

namespace tavrel_standin {

// Makes the server's session from a dynamic hello with `own` as the server's key, handed
// out through `session` (argument `session_index` of `function`, for the test controls);
// released with KTSessionDestroy. NO_KEY without a key, CRYPTO for a malformed message,
// CERT_NOT_FOUND when the hello is not meant for `own`'s certificate.
DWORD server_dynamic_key_session(const char *function, unsigned session_index, const material_ptr &own,
                                 DWORD expire_time, const unsigned char *hello, DWORD size, PVOID *session);

// Sessions not yet destroyed, for the outstanding counters.
unsigned long live_sessions() noexcept;

}  // namespace tavrel_standin
