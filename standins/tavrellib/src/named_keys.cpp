// Named private keys: keys kept on a key medium under a label, each behind a password
// of its own, stored in the world file beside the medium's key; and device
// certificates issued for certificate requests.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "call_record.h"
#include "cp1251.h"
#include "library.h"

namespace tavrel_standin {
namespace {

constexpr size_t label_max_length = 64;  // KT_NAMED_PRIVATE_KEY_LABEL_MAX_LENGTH

bool valid_label(const char *label) {
    if (!label) return false;
    size_t length = strnlen(label, label_max_length + 1);
    return length > 0 && length <= label_max_length;
}

std::vector<named_key>::iterator find_named(device &d, const char *label) {
    return std::find_if(d.named_keys.begin(), d.named_keys.end(),
                        [label](const named_key &k) { return k.label == label; });
}

// The named key `label` of the medium, its password checked; under the lock.
DWORD open_named(library_state &s, const KT_KEY_MEDIA *media, const char *label, const char *password,
                 device **d, std::vector<named_key>::iterator *key) {
    if (DWORD status = find_device(s, media, d, nullptr)) return status;
    *key = find_named(**d, label);
    if (*key == (*d)->named_keys.end()) return TAVREL_STANDIN_ERROR_NO_KEY;
    if ((*key)->password != password) return KT_ERROR_KEY_MEDIAS_ACCESS_FAILED;
    return 0;
}

// Writes the world after a change of `d`'s named keys; on failure puts `previous` back.
DWORD save_named_keys(library_state &s, device &d, std::vector<named_key> previous) {
    try {
        save_world(s.world_path, s.current);
        return 0;
    } catch (const world_error &) {
        d.named_keys = std::move(previous);
        return TAVREL_STANDIN_ERROR_FILE;
    }
}

// One requested output of a generation: the request buffer (library argument `index`),
// its length and its file name.
struct request_output {
    unsigned index;
    unsigned char **data;
    DWORD *length;
    char *file_name;
};

std::string text_field(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

// A Windows-1251 text in UTF-8; empty when it holds a byte Windows-1251 leaves undefined.
std::string utf8_of(const std::string &cp1251) {
    std::string utf8;
    return cp1251_to_utf8(cp1251, &utf8) ? utf8 : std::string();
}

#define USER_TEXT(info, field) utf8_of(text_field((info).field, sizeof (info).field))

subject_parts user_subject(const KT_USER_INFO &info, const std::string &label) {
    subject_parts subject;
    subject.common_name = USER_TEXT(info, szCommonName);
    if (subject.common_name.empty()) subject.common_name = utf8_of(label);
    subject.organization = USER_TEXT(info, szOrganiztion);
    subject.unit = USER_TEXT(info, szOrgUnit);
    subject.title = USER_TEXT(info, szTitle);
    subject.state = USER_TEXT(info, szState);
    subject.locality = USER_TEXT(info, szLocality);
    subject.email = USER_TEXT(info, szEMail);
    subject.country = USER_TEXT(info, szCountry);
    if (subject.country.size() != 2) subject.country = "UA";
    return subject;
}

#undef USER_TEXT

// What the library reports back in the description it made the key for: the
// certificate's serial as the user code, the label as the name when none was given.
void write_back_user_info(KT_USER_INFO *info, const std::string &serial, const std::string &label) {
    std::snprintf(info->szUserCode, sizeof info->szUserCode, "%s", serial.c_str());
    if (info->szCommonName[0] == 0) std::snprintf(info->szCommonName, sizeof info->szCommonName, "%s", label.c_str());
}

// Generation of a named key with its three requests (signing, key agreement and the
// international one, all of the one P-256 key but the key-agreement request), made only
// where asked for; the kinds, lengths and parameter paths are accepted as given.
DWORD generate_named(const char *function, PVOID context, PKT_KEY_MEDIA media, const char *label, const char *password,
                     PKT_USER_INFO user_info, const std::array<request_output, 3> &outputs) {
    if (!context || !media || !valid_label(label) || !password || !is_context(context))
        return KT_ERROR_BAD_PARAMETER;
    for (const request_output &o : outputs)
        if (o.data && !o.length) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        library_state &s = library();
        device snapshot;
        {
            std::lock_guard<std::mutex> guard(s.lock);
            device *d = nullptr;
            if (DWORD status = find_device(s, media, &d, nullptr)) return status;
            if (find_named(*d, label) != d->named_keys.end()) return TAVREL_STANDIN_ERROR_KEY_EXISTS;
            snapshot = *d;
        }
        // The slow part with no lock held.
        validity v = certificate_validity(snapshot);
        key_pem pem = user_info ? generate_key_for(user_subject(*user_info, label), v.not_before, v.not_after)
                                : generate_key(utf8_of(label), v.not_before, v.not_after);
        material_ptr material = material_from_pem(pem);
        std::string serial = describe_certificate(material->certificate.get()).serial;
        static const char *const suffixes[] = {"-ds.p10", "-kep.p10", "-int.p10"};
        output_batch requests(function);
        for (size_t i = 0; i < 3; ++i) {
            const request_output &o = outputs[i];
            if (o.data) requests.buffer(o.index, i == 1 ? key_agreement_request(*material) : signing_request(*material),
                                        o.data, o.length);
        }
        {
            std::lock_guard<std::mutex> guard(s.lock);
            device *d = nullptr;
            if (DWORD status = find_device(s, media, &d, nullptr)) return status;
            if (find_named(*d, label) != d->named_keys.end()) return TAVREL_STANDIN_ERROR_KEY_EXISTS;
            std::vector<named_key> previous = d->named_keys;
            d->named_keys.push_back(named_key{label, password, pem});
            if (DWORD status = save_named_keys(s, *d, std::move(previous))) return status;
        }
        const DWORD status = requests.commit();
        for (size_t i = 0; i < 3; ++i) write_name(outputs[i].file_name, label + std::string(suffixes[i]));
        if (user_info) write_back_user_info(user_info, serial, label);
        return status;
    });
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTCtxIsNamedPrivateKeyExists(PVOID pvContext, PKT_KEY_MEDIA pKeyMedia, char *pszNamedPrivateKeyLabel,
                                   char *pszNamedPrivateKeyPassword, BOOL *pbExists) {
    call_record(__func__)
        .pointer(pvContext)
        .bytes(pKeyMedia, sizeof(KT_KEY_MEDIA))
        .text(pszNamedPrivateKeyLabel)
        .text(pszNamedPrivateKeyPassword)
        .pointer(pbExists);
    write_lent_text(__func__, 2, pszNamedPrivateKeyLabel);
    write_lent_text(__func__, 3, pszNamedPrivateKeyPassword);
    STANDIN_ENTER();
    // Existence is no secret of the key's: its password is not needed.
    if (!pvContext || !pKeyMedia || !pszNamedPrivateKeyLabel || !is_context(pvContext))
        return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        library_state &s = library();
        std::lock_guard<std::mutex> guard(s.lock);
        device *d = nullptr;
        if (DWORD status = find_device(s, pKeyMedia, &d, nullptr)) return status;
        if (pbExists) *pbExists = find_named(*d, pszNamedPrivateKeyLabel) != d->named_keys.end() ? 1 : 0;
        return 0;
    });
}

DWORD KTCtxGenerateNamedPrivateKey(PVOID pvContext, PKT_KEY_MEDIA pKeyMedia, char *pszNamedPrivateKeyLabel,
                                   char *pszNamedPrivateKeyPassword, DWORD dwUAKeysType, DWORD dwUADSKeysSpec,
                                   DWORD dwUAKEPKeysSpec, char *pszUAParamsPath, DWORD dwInternationalKeysType,
                                   DWORD dwInternationalKeysSpec, char *pszInternationalParamsPath,
                                   unsigned char **ppbUARequest, DWORD *pdwUARequest, char *pszUARequestFileName,
                                   unsigned char **ppbUAKEPRequest, DWORD *pdwUAKEPRequest,
                                   char *pszUAKEPRequestFileName, unsigned char **ppbInternationalRequest,
                                   DWORD *pdwInternationalRequest, char *pszInternationalRequestFileName) {
    call_record(__func__)
        .pointer(pvContext)
        .bytes(pKeyMedia, sizeof(KT_KEY_MEDIA))
        .text(pszNamedPrivateKeyLabel)
        .text(pszNamedPrivateKeyPassword)
        .number(dwUAKeysType)
        .number(dwUADSKeysSpec)
        .number(dwUAKEPKeysSpec)
        .text(pszUAParamsPath)
        .number(dwInternationalKeysType)
        .number(dwInternationalKeysSpec)
        .text(pszInternationalParamsPath)
        .pointer(ppbUARequest)
        .pointer(pdwUARequest)
        .text(pszUARequestFileName)
        .pointer(ppbUAKEPRequest)
        .pointer(pdwUAKEPRequest)
        .text(pszUAKEPRequestFileName)
        .pointer(ppbInternationalRequest)
        .pointer(pdwInternationalRequest)
        .text(pszInternationalRequestFileName);
    char *const texts[] = {pszNamedPrivateKeyLabel, pszNamedPrivateKeyPassword, pszUAParamsPath,
                           pszInternationalParamsPath, pszUARequestFileName, pszUAKEPRequestFileName,
                           pszInternationalRequestFileName};
    const unsigned text_indices[] = {2, 3, 7, 10, 13, 16, 19};
    for (size_t i = 0; i < 7; ++i) write_lent_text(__func__, text_indices[i], texts[i]);
    STANDIN_ENTER();
    return generate_named(__func__, pvContext, pKeyMedia, pszNamedPrivateKeyLabel, pszNamedPrivateKeyPassword, nullptr,
                          {{{11, ppbUARequest, pdwUARequest, pszUARequestFileName},
                            {14, ppbUAKEPRequest, pdwUAKEPRequest, pszUAKEPRequestFileName},
                            {17, ppbInternationalRequest, pdwInternationalRequest, pszInternationalRequestFileName}}});
}

DWORD KTCtxGenerateNamedPrivateKeyEx(PVOID pvContext, PKT_KEY_MEDIA pKeyMedia, char *pszNamedPrivateKeyLabel,
                                     char *pszNamedPrivateKeyPassword, DWORD dwUAKeysType, DWORD dwUADSKeysSpec,
                                     DWORD dwUAKEPKeysSpec, char *pszUAParamsPath, DWORD dwInternationalKeysType,
                                     DWORD dwInternationalKeysSpec, char *pszInternationalParamsPath,
                                     PKT_USER_INFO pUserInfo, char *pszExtKeyUsages, unsigned char **ppbUARequest,
                                     DWORD *pdwUARequest, char *pszUARequestFileName, unsigned char **ppbUAKEPRequest,
                                     DWORD *pdwUAKEPRequest, char *pszUAKEPRequestFileName,
                                     unsigned char **ppbInternationalRequest, DWORD *pdwInternationalRequest,
                                     char *pszInternationalRequestFileName) {
    call_record(__func__)
        .pointer(pvContext)
        .bytes(pKeyMedia, sizeof(KT_KEY_MEDIA))
        .text(pszNamedPrivateKeyLabel)
        .text(pszNamedPrivateKeyPassword)
        .number(dwUAKeysType)
        .number(dwUADSKeysSpec)
        .number(dwUAKEPKeysSpec)
        .text(pszUAParamsPath)
        .number(dwInternationalKeysType)
        .number(dwInternationalKeysSpec)
        .text(pszInternationalParamsPath)
        .bytes(pUserInfo, sizeof(KT_USER_INFO))
        .text(pszExtKeyUsages)
        .pointer(ppbUARequest)
        .pointer(pdwUARequest)
        .text(pszUARequestFileName)
        .pointer(ppbUAKEPRequest)
        .pointer(pdwUAKEPRequest)
        .text(pszUAKEPRequestFileName)
        .pointer(ppbInternationalRequest)
        .pointer(pdwInternationalRequest)
        .text(pszInternationalRequestFileName);
    char *const texts[] = {pszNamedPrivateKeyLabel, pszNamedPrivateKeyPassword, pszUAParamsPath,
                           pszInternationalParamsPath, pszExtKeyUsages, pszUARequestFileName,
                           pszUAKEPRequestFileName, pszInternationalRequestFileName};
    const unsigned text_indices[] = {2, 3, 7, 10, 12, 15, 18, 21};
    for (size_t i = 0; i < 8; ++i) write_lent_text(__func__, text_indices[i], texts[i]);
    STANDIN_ENTER();
    return generate_named(__func__, pvContext, pKeyMedia, pszNamedPrivateKeyLabel, pszNamedPrivateKeyPassword,
                          pUserInfo,
                          {{{13, ppbUARequest, pdwUARequest, pszUARequestFileName},
                            {16, ppbUAKEPRequest, pdwUAKEPRequest, pszUAKEPRequestFileName},
                            {19, ppbInternationalRequest, pdwInternationalRequest, pszInternationalRequestFileName}}});
}

DWORD KTCtxReadNamedPrivateKey(PVOID pvContext, PKT_KEY_MEDIA pKeyMedia, char *pszNamedPrivateKeyLabel,
                               char *pszNamedPrivateKeyPassword, PVOID *ppvPrivateKeyContext,
                               PKT_CERT_OWNER_INFO pInfo) {
    call_record(__func__)
        .pointer(pvContext)
        .bytes(pKeyMedia, sizeof(KT_KEY_MEDIA))
        .text(pszNamedPrivateKeyLabel)
        .text(pszNamedPrivateKeyPassword)
        .pointer(ppvPrivateKeyContext)
        .bytes(pInfo, sizeof(KT_CERT_OWNER_INFO));
    write_lent_text(__func__, 2, pszNamedPrivateKeyLabel);
    write_lent_text(__func__, 3, pszNamedPrivateKeyPassword);
    STANDIN_ENTER();
    if (!pvContext || !pKeyMedia || !pszNamedPrivateKeyLabel || !pszNamedPrivateKeyPassword ||
        !ppvPrivateKeyContext || !is_context(pvContext))
        return KT_ERROR_BAD_PARAMETER;
    return guarded([&, function = __func__]() -> DWORD {
        key_pem pem;
        {
            library_state &s = library();
            std::lock_guard<std::mutex> guard(s.lock);
            device *d = nullptr;
            std::vector<named_key>::iterator key;
            if (DWORD status = open_named(s, pKeyMedia, pszNamedPrivateKeyLabel, pszNamedPrivateKeyPassword, &d, &key))
                return status;
            pem = key->key;
        }
        return open_private_key(pvContext, material_from_pem(pem), ppvPrivateKeyContext, pInfo,
                                null_output_requested(function, 4));
    });
}

DWORD KTCtxDestroyNamedPrivateKey(PVOID pvContext, PKT_KEY_MEDIA pKeyMedia, char *pszNamedPrivateKeyLabel,
                                  char *pszNamedPrivateKeyPassword) {
    call_record(__func__)
        .pointer(pvContext)
        .bytes(pKeyMedia, sizeof(KT_KEY_MEDIA))
        .text(pszNamedPrivateKeyLabel)
        .text(pszNamedPrivateKeyPassword);
    write_lent_text(__func__, 2, pszNamedPrivateKeyLabel);
    write_lent_text(__func__, 3, pszNamedPrivateKeyPassword);
    STANDIN_ENTER();
    if (!pvContext || !pKeyMedia || !pszNamedPrivateKeyLabel || !pszNamedPrivateKeyPassword || !is_context(pvContext))
        return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        library_state &s = library();
        std::lock_guard<std::mutex> guard(s.lock);
        device *d = nullptr;
        std::vector<named_key>::iterator key;
        if (DWORD status = open_named(s, pKeyMedia, pszNamedPrivateKeyLabel, pszNamedPrivateKeyPassword, &d, &key))
            return status;
        std::vector<named_key> previous = d->named_keys;
        d->named_keys.erase(key);
        return save_named_keys(s, *d, std::move(previous));
    });
}

DWORD KTCtxChangeNamedPrivateKeyPassword(PVOID pvContext, PKT_KEY_MEDIA pKeyMedia, char *pszNamedPrivateKeyLabel,
                                         char *pszNamedPrivateKeyPassword, char *pszNewNamedPrivateKeyPassword) {
    call_record(__func__)
        .pointer(pvContext)
        .bytes(pKeyMedia, sizeof(KT_KEY_MEDIA))
        .text(pszNamedPrivateKeyLabel)
        .text(pszNamedPrivateKeyPassword)
        .text(pszNewNamedPrivateKeyPassword);
    write_lent_text(__func__, 2, pszNamedPrivateKeyLabel);
    write_lent_text(__func__, 3, pszNamedPrivateKeyPassword);
    write_lent_text(__func__, 4, pszNewNamedPrivateKeyPassword);
    STANDIN_ENTER();
    if (!pvContext || !pKeyMedia || !pszNamedPrivateKeyLabel || !pszNamedPrivateKeyPassword ||
        !pszNewNamedPrivateKeyPassword || !is_context(pvContext))
        return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        library_state &s = library();
        std::lock_guard<std::mutex> guard(s.lock);
        device *d = nullptr;
        std::vector<named_key>::iterator key;
        if (DWORD status = open_named(s, pKeyMedia, pszNamedPrivateKeyLabel, pszNamedPrivateKeyPassword, &d, &key))
            return status;
        std::vector<named_key> previous = d->named_keys;
        key->password = pszNewNamedPrivateKeyPassword;
        return save_named_keys(s, *d, std::move(previous));
    });
}

DWORD KTCtxPrepareNamedPrivateKey(PVOID pvContext, char *pszNamedPrivateKeyLabel, char *pszNamedPrivateKeyPassword,
                                  unsigned char *pbData, DWORD dwDataLength) {
    call_record(__func__)
        .pointer(pvContext)
        .text(pszNamedPrivateKeyLabel)
        .text(pszNamedPrivateKeyPassword)
        .sized(pbData, dwDataLength);
    write_lent_text(__func__, 1, pszNamedPrivateKeyLabel);
    write_lent_text(__func__, 2, pszNamedPrivateKeyPassword);
    STANDIN_ENTER();
    if (!pvContext || !valid_label(pszNamedPrivateKeyLabel) || !pszNamedPrivateKeyPassword || !pbData ||
        !is_context(pvContext))
        return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    // Preparing checks that the key bytes (a PKCS#12 key file) open with the password.
    return guarded([&]() -> DWORD {
        material_ptr material;
        return pkcs12_read_status(read_pkcs12(bytes(pbData, pbData + dwDataLength), pszNamedPrivateKeyPassword,
                                              &material));
    });
}

DWORD KTCtxMakeDeviceCertificate(PVOID pvContext, char *pszDeviceName, unsigned char *pbUARequest,
                                 DWORD dwUARequestLength, unsigned char *pbUAKEPRequest, DWORD dwUAKEPRequestLength,
                                 unsigned char *pbInternationalRequest, DWORD dwInternationalRequestLength,
                                 unsigned char *pbECDSARequest, DWORD dwECDSARequestLength, char *pszCMPAddress,
                                 char *pszCMPPort, unsigned char **ppbUACertificate, DWORD *pdwUACertificateLength,
                                 unsigned char **ppbUAKEPCertificate, DWORD *pdwUAKEPCertificateLength,
                                 unsigned char **ppbInternationalCertificate,
                                 DWORD *pdwInternationalCertificateLength, unsigned char **ppbECDSACertificate,
                                 DWORD *pdwECDSACertificateLength) {
    struct pair {
        unsigned char *request;
        DWORD request_length;
        unsigned char **certificate;
        DWORD *certificate_length;
    };
    const pair pairs[] = {
        {pbUARequest, dwUARequestLength, ppbUACertificate, pdwUACertificateLength},
        {pbUAKEPRequest, dwUAKEPRequestLength, ppbUAKEPCertificate, pdwUAKEPCertificateLength},
        {pbInternationalRequest, dwInternationalRequestLength, ppbInternationalCertificate,
         pdwInternationalCertificateLength},
        {pbECDSARequest, dwECDSARequestLength, ppbECDSACertificate, pdwECDSACertificateLength},
    };
    {
        call_record record(__func__);
        record.pointer(pvContext).text(pszDeviceName);
        for (const pair &p : pairs) record.sized(p.request, p.request_length);
        record.text(pszCMPAddress).text(pszCMPPort);
        for (const pair &p : pairs) record.pointer(p.certificate).pointer(p.certificate_length);
    }
    write_lent_text(__func__, 1, pszDeviceName);
    write_lent_text(__func__, 10, pszCMPAddress);
    write_lent_text(__func__, 11, pszCMPPort);
    // The CMP address and port are not used: the stand-in's authority is local.
    STANDIN_ENTER();
    if (!pvContext || !is_context(pvContext)) return KT_ERROR_BAD_PARAMETER;
    bool any_request = false;
    for (const pair &p : pairs) {
        if (p.certificate && !p.certificate_length) return KT_ERROR_BAD_PARAMETER;
        any_request = any_request || (p.request && p.request_length > 0);
    }
    if (!any_request) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&, function = __func__]() -> DWORD {
        std::string name = pszDeviceName ? utf8_of(pszDeviceName) : std::string();
        // Every request given is checked, also those whose certificate is not asked for.
        output_batch out(function);
        for (unsigned i = 0; i < 4; ++i) {
            const pair &p = pairs[i];
            bytes certificate;
            if (p.request && p.request_length > 0) certificate = issue_certificate(p.request, p.request_length, name);
            // An output without a request of its kind stays null.
            if (!certificate.empty()) out.buffer(12 + 2 * i, certificate, p.certificate, p.certificate_length);
        }
        return out.commit();
    });
}

}  // extern "C"
