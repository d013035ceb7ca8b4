#include "sign_support.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>

#include "library.h"

namespace tavrel_standin {

std::string base64(const bytes &data) {
    if (data.size() > size_t(INT_MAX) / 4 * 3) throw std::bad_alloc();
    std::string out((data.size() + 2) / 3 * 4 + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), data.data(), int(data.size()));
    out.resize(size_t(n));
    return out;
}

bool from_base64(const std::string &text, bytes *out) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > size_t(INT_MAX)) return false;
    out->assign(text.size() / 4 * 3, 0);
    int n = EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char *>(text.data()), int(text.size()));
    if (n < 0) return false;
    size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
    out->resize(size_t(n) - padding);
    return true;
}

DWORD input_form(const char *text, const unsigned char *binary, DWORD length, bytes *out) {
    if (length > 0) {
        if (!binary) return KT_ERROR_BAD_PARAMETER;
        out->assign(binary, binary + length);
        return 0;
    }
    if (!text || !*text) return KT_ERROR_BAD_PARAMETER;
    return from_base64(text, out) ? 0 : KT_ERROR_BAD_PARAMETER;
}

DWORD current_key(material_ptr *key) {
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    if (DWORD status = readiness(s)) return status;
    if (!s.own_key) return TAVREL_STANDIN_ERROR_NO_KEY;
    *key = s.own_key;
    return 0;
}

DWORD read_named_file(const char *path, bytes *out) {
    if (!path || !*path) return KT_ERROR_BAD_PARAMETER;
    return read_whole_file(path, out) ? 0 : TAVREL_STANDIN_ERROR_FILE;
}

DWORD write_named_file(const char *path, const bytes &data) {
    if (!path || !*path) return KT_ERROR_BAD_PARAMETER;
    return write_file(path, data) ? 0 : TAVREL_STANDIN_ERROR_FILE;
}

void fill_sign_info(KT_SIGN_INFO *info, const verified_signer &signer) {
    if (!info) return;
    KT_SIGN_INFO filled{};
    record_texts texts;
    set_owner_fields(filled, describe_certificate(signer.certificate.get()), texts);
    filled.bTimeAvail = signer.has_time ? 1 : 0;
    if (signer.has_time) to_systemtime(signer.time, &filled.Time);
    commit_record(info, &filled, sizeof filled, texts);
}

}  // namespace tavrel_standin
