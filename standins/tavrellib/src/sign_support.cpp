#include "sign_support.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "call_record.h"
#include "library.h"
#include "signed_data.h"

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
    return read_data_file(path, out);
}

DWORD write_named_file(const char *path, const bytes &data) {
    if (!path || !*path) return KT_ERROR_BAD_PARAMETER;
    return write_file(path, data) ? 0 : TAVREL_STANDIN_ERROR_FILE;
}

DWORD hand_out_forms(const char *function, unsigned first_output, const bytes &value, char **text,
                     unsigned char **binary, DWORD *length) {
    if (!length) return KT_ERROR_BAD_PARAMETER;
    output_batch out(function);
    out.text(first_output, base64(value), text).buffer(first_output + 1, value, binary, length);
    return out.commit();
}

const X509 *verifying_certificate(const bytes &signature, size_t index, material_ptr *holder) {
    signed_data parsed(signature);
    if (!parsed.valid() || index >= parsed.signer_count() || parsed.signer_certificate(index)) return nullptr;
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    *holder = s.own_key;
    return *holder ? (*holder)->certificate.get() : nullptr;
}

DWORD verdict(verify_status status) {
    switch (status) {
        case verify_status::ok: return 0;
        case verify_status::no_signer: return KT_ERROR_BAD_PARAMETER;
        case verify_status::not_signature:
        case verify_status::mismatch: break;
    }
    return TAVREL_STANDIN_ERROR_VERIFY;
}

verified_signer own_signer(const key_material &key) {
    verified_signer signer;
    if (!X509_up_ref(key.certificate.get())) throw std::bad_alloc();
    signer.certificate.reset(key.certificate.get());
    return signer;
}

DWORD check_on_time(const on_time *check, const verified_signer &signer) {
    if (!check) return 0;
    time_t when = std::time(nullptr);
    if (const SYSTEMTIME *at = check->at) {
        if (at->wMonth < 1 || at->wMonth > 12 || at->wDay < 1 || at->wDay > 31 || at->wHour > 23 || at->wMinute > 59 ||
            at->wSecond > 60 || at->wYear < 1900)
            return KT_ERROR_BAD_PARAMETER;
        struct tm tm {};
        tm.tm_year = at->wYear - 1900;
        tm.tm_mon = at->wMonth - 1;
        tm.tm_mday = at->wDay;
        tm.tm_hour = at->wHour;
        tm.tm_min = at->wMinute;
        tm.tm_sec = at->wSecond;
        when = timegm(&tm);
    } else if (signer.has_time) {
        struct tm tm = signer.time;
        when = timegm(&tm);
    }
    return valid_at(signer.certificate.get(), when) ? 0 : TAVREL_STANDIN_ERROR_VERIFY;
}

DWORD verify_internal(const char *function, unsigned data_output, size_t index, const char *text,
                      const unsigned char *binary, DWORD length, const on_time *check, unsigned char **data,
                      DWORD *data_length, KT_SIGN_INFO *info) {
    if (!data_length) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes signature;
        if (DWORD status = input_form(text, binary, length, &signature)) return status;
        material_ptr holder;
        const X509 *certificate = verifying_certificate(signature, index, &holder);
        verified_signer signer;
        verify_status result = cms_verify(nullptr, 0, signature.data(), signature.size(), certificate, index, &signer);
        if (DWORD status = verdict(result)) return status;
        if (DWORD status = check_on_time(check, signer)) return status;
        output_batch out(function);
        out.buffer(data_output, signed_data(signature).content(), data, data_length);
        fill_sign_info(info, signer);
        return out.commit();
    });
}

void fill_sign_info(KT_SIGN_INFO *info, const verified_signer &signer) {
    if (!info) return;
    KT_SIGN_INFO filled{};
    record_texts texts;
    set_owner_fields(filled, describe_certificate(signer.certificate.get()), texts);
    filled.bTimeAvail = signer.has_time ? 1 : 0;
    if (signer.has_time) to_systemtime(signer.time, &filled.Time);
    commit_record(info, filled, texts);
}

}  // namespace tavrel_standin
