// Pieces the signing, hashing, inspection and COSE functions share: the text form
// of binary values, choosing between an input's text and binary forms, the current
// key, files, and the signer record.
#pragma once

#include <string>

#include "crypto.h"
#include "kt_api.h"

namespace tavrel_standin {

// The text form of a binary output: standard base64 on one line.
std::string base64(const bytes &data);
// False when `text` is no such base64.
bool from_base64(const std::string &text, bytes *out);

// An input given as text and as binary: the binary form when its length is non-zero,
// else the text form decoded; 2 when neither is given or the text does not decode.
DWORD input_form(const char *text, const unsigned char *binary, DWORD length, bytes *out);

// The library's own key, which KTReadPrivateKey and its kin set; NO_KEY without one.
// Also the readiness status of the library.
DWORD current_key(material_ptr *key);

// Whole files: 2 for a null or empty name, FILE when reading or writing fails.
DWORD read_named_file(const char *path, bytes *out);
DWORD write_named_file(const char *path, const bytes &data);

// A binary value (a signature, a hash) in its text form and its binary form into the
// outputs at `first_output` and after; 2 when `length` is null.
DWORD hand_out_forms(const char *function, unsigned first_output, const bytes &value, char **text,
                     unsigned char **binary, DWORD *length);

// The certificate that verifies signer `index` of `signature`: null when the signature
// carries it, else the own key's (null without one), held by `holder`.
const X509 *verifying_certificate(const bytes &signature, size_t index, material_ptr *holder);

// The status of a verification: 2 for a signer index beyond the signers, VERIFY for
// anything that is no matching signature.
DWORD verdict(verify_status status);

// A verified signer described by the own key's certificate (raw signatures carry none).
verified_signer own_signer(const key_material &key);

// On-time verification: the signer's certificate must be valid at `at`, or, when it
// is null, at the signing time (now, for a signer without one).
struct on_time {
    const SYSTEMTIME *at;
};
// 0, VERIFY outside the certificate's validity, 2 for a time that is no date.
DWORD check_on_time(const on_time *check, const verified_signer &signer);

// Verifies signer `index` of a signature with the data inside (on time if `check` is
// not null) and hands out the data at `data_output`; fills the signer record.
DWORD verify_internal(const char *function, unsigned data_output, size_t index, const char *text,
                      const unsigned char *binary, DWORD length, const on_time *check, unsigned char **data,
                      DWORD *data_length, KT_SIGN_INFO *info);

// Fills the caller's signer record (may be null) from a verified signer.
void fill_sign_info(KT_SIGN_INFO *info, const verified_signer &signer);

}  // namespace tavrel_standin
