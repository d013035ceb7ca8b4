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

// Fills the caller's signer record (may be null) from a verified signer.
void fill_sign_info(KT_SIGN_INFO *info, const verified_signer &signer);

}  // namespace tavrel_standin
