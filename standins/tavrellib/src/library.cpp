// The library functions with behaviour: lifecycle, key media and keys, contexts,
// signing, verification, hashing and the release functions.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "call_record.h"
#include "library.h"
#include "sign_support.h"

namespace tavrel_standin {

library_state &library() {
    static library_state instance;
    return instance;
}

DWORD readiness(const library_state &s) {
    if (s.initialised) return 0;
    return s.load_error ? s.load_error : TAVREL_STANDIN_ERROR_NOT_INITIALIZED;
}

DWORD ready() {
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    return readiness(s);
}

DWORD find_device(library_state &s, const KT_KEY_MEDIA *media, device **found, std::pair<size_t, size_t> *where) {
    if (DWORD status = readiness(s)) return status;
    if (media->dwTypeIndex >= s.current.types.size()) return KT_ERROR_BAD_PARAMETER;
    media_type &type = s.current.types[media->dwTypeIndex];
    if (media->dwDevIndex >= type.devices.size()) return KT_ERROR_BAD_PARAMETER;
    device &d = type.devices[media->dwDevIndex];
    std::string password(media->szPassword, strnlen(media->szPassword, sizeof media->szPassword));
    if (password != d.password) return KT_ERROR_KEY_MEDIAS_ACCESS_FAILED;
    *found = &d;
    if (where) *where = {media->dwTypeIndex, media->dwDevIndex};
    return 0;
}

material_ptr device_material(library_state &s, const device &d, device_position where) {
    material_ptr &cached = s.materials[where];
    if (!cached) cached = material_from_pem(*d.key);
    return cached;
}

DWORD media_key(const KT_KEY_MEDIA *media, material_ptr *material) {
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    device *d = nullptr;
    device_position where;
    if (DWORD status = find_device(s, media, &d, &where)) return status;
    if (!d->key) return TAVREL_STANDIN_ERROR_NO_KEY;
    *material = device_material(s, *d, where);
    return 0;
}

DWORD pkcs12_read_status(pkcs12_status status) {
    switch (status) {
    case pkcs12_status::ok: return 0;
    case pkcs12_status::bad_password: return KT_ERROR_KEY_MEDIAS_ACCESS_FAILED;
    case pkcs12_status::not_pkcs12: break;
    }
    return TAVREL_STANDIN_ERROR_CRYPTO;
}

void to_systemtime(const struct tm &tm, SYSTEMTIME *out) {
    out->wYear = WORD(tm.tm_year + 1900);
    out->wMonth = WORD(tm.tm_mon + 1);
    out->wDayOfWeek = WORD(tm.tm_wday);
    out->wDay = WORD(tm.tm_mday);
    out->wHour = WORD(tm.tm_hour);
    out->wMinute = WORD(tm.tm_min);
    out->wSecond = WORD(tm.tm_sec);
    out->wMilliseconds = 0;
}

void fill_owner_info(KT_CERT_OWNER_INFO *info, const key_material &material) {
    KT_CERT_OWNER_INFO filled{};
    record_texts texts;
    set_owner_fields(filled, material.description, texts);
    commit_record(info, filled, texts);
}

KT_CERT_INFO_EX *new_cert_info_ex(const certificate_texts &t) {
    KT_CERT_INFO_EX filled{};
    record_texts texts;
    set_certificate_fields(filled, t, texts);
    filled.dwVersion = KT_CERT_INFO_EX_VERSION;
    filled.dwPublicKeyType = KT_CERT_KEY_TYPE_ECDSA;
    filled.dwKeyUsage = KT_KEY_USAGE_DIGITAL_SIGNATURE;
    filled.dwSubjType = KT_SUBJECT_TYPE_END_USER;
    filled.pszSubjCountry = texts(t.subj_country);
    filled.pszFingerprint = texts(t.fingerprint);
    return new_library_record(filled, texts);
}

DWORD read_data_file(const char *path, bytes *out) {
    switch (read_regular_file(path, out)) {
    case file_read::ok: return 0;
    case file_read::too_large: return TAVREL_STANDIN_ERROR_FILE_TOO_LARGE;
    default: return TAVREL_STANDIN_ERROR_FILE;
    }
}

DWORD open_private_key(void *context, material_ptr material, void **key, KT_CERT_OWNER_INFO *info,
                       bool leave_null) {
    if (leave_null) {
        if (info) fill_owner_info(info, *material);
        return 0;
    }
    void *handle = new_private_key(context, material);
    if (!handle) return KT_ERROR_BAD_PARAMETER;  // the context was freed meanwhile
    try {
        if (info) fill_owner_info(info, *material);
    } catch (...) {
        free_private_key(handle);
        throw;
    }
    *key = handle;
    return 0;
}

// Sign codes the stand-in's P-256 keys serve: the national one (in place of DSTU 4145)
// and ECDSA; RSA is known but not served.
DWORD check_sign_algorithm(DWORD algorithm) {
    if (algorithm == KT_CTX_SIGN_DSTU4145_WITH_GOST34311 || algorithm == KT_CTX_SIGN_ECDSA_WITH_SHA) return 0;
    return algorithm == KT_CTX_SIGN_RSA_WITH_SHA ? TAVREL_STANDIN_ERROR_NOT_SUPPORTED : KT_ERROR_BAD_PARAMETER;
}

DWORD private_key_material(void *handle, material_ptr *material) {
    std::shared_ptr<const private_key> key = find_private_key(handle);
    if (!key) return KT_ERROR_BAD_PARAMETER;
    *material = key->material;
    return ready();
}

void write_name(char *buffer, const std::string &name) {
    // Longest file name written into a caller's name buffer, with its NUL.
    constexpr size_t request_name_size = 1025;
    if (buffer) std::snprintf(buffer, request_name_size, "%s", name.c_str());
}

namespace {

// Size of the padding attribute of long signatures: the result exceeds 4096 bytes.
constexpr size_t long_signature_padding = 5000;

// Writes the world after a change; on failure restores `device`'s previous key.
DWORD persist(library_state &s, device &d, std::optional<key_pem> previous, std::pair<size_t, size_t> where) {
    s.materials.erase(where);
    try {
        save_world(s.world_path, s.current);
        return 0;
    } catch (const world_error &) {
        d.key = std::move(previous);
        return TAVREL_STANDIN_ERROR_FILE;
    }
}

bool write_all(int fd, const unsigned char *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// With a write pause, the first half of the file is on the disk during the pause.
bool write_whole_file(const char *path, const bytes &data) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const size_t half = write_paused() ? data.size() / 2 : data.size();
    bool ok = write_all(fd, data.data(), half);
    if (ok && half < data.size()) {
        pause_write(path);
        ok = write_all(fd, data.data() + half, data.size() - half);
    }
    return (::close(fd) == 0) && ok;
}

bytes sign(const private_key &key, const unsigned char *data, size_t size, BOOL external, BOOL append_certificate) {
    return cms_sign(*key.material, data, size, external != 0, append_certificate != 0,
                    long_signatures() ? long_signature_padding : 0);
}

}  // namespace

bool write_file(const char *path, const bytes &data) { return write_whole_file(path, data); }

}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTInitialize(void) {
    // The environment first, so that a fault injected through it reaches this call too.
    if (DWORD status = apply_environment()) {
        note_call(__func__);
        return status;
    }
    STANDIN_ENTER();
    return guarded([]() -> DWORD {
        library_state &s = library();
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.initialised) return 0;
        const char *env = std::getenv("TAVREL_STANDIN_WORLD");
        bool is_default = !s.path_override && !(env && *env);
        std::string path;
        try {
            path = s.path_override ? s.override_path : is_default ? default_world_path() : env;
            s.current = load_world(path, is_default);
        } catch (...) {
            s.load_error = TAVREL_STANDIN_ERROR_WORLD;
            return s.load_error;
        }
        s.world_path = path;
        s.materials.clear();
        s.initialised = true;
        s.load_error = 0;
        return 0;
    });
}

BOOL KTIsInitialized(void) {
    note_call(__func__);
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.initialised ? 1 : 0;
}

void KTFinalize(void) {
    note_call(__func__);
    {
        library_state &s = library();
        std::lock_guard<std::mutex> guard(s.lock);
        s.initialised = false;
        s.load_error = 0;
        s.current = world{};
        s.materials.clear();
        s.own_key.reset();
    }
    try {
        trace_line(counters_line().c_str());
    } catch (...) {
    }
}

void KTSetUIMode(BOOL bUIMode) {
    (void)bUIMode;  // the stand-in never shows a dialogue
    note_call(__func__);
}

DWORD KTEnumKeyMediaTypes(DWORD dwTypeIndex, char *pszTypeDescription) {
    STANDIN_ENTER();
    if (!pszTypeDescription) return KT_ERROR_BAD_PARAMETER;
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    if (DWORD status = readiness(s)) return status;
    if (dwTypeIndex >= s.current.types.size()) return KT_ERROR_NO_MORE_ITEMS;
    const std::string &name = s.current.types[dwTypeIndex].name;
    std::memcpy(pszTypeDescription, name.c_str(), name.size() + 1);
    return 0;
}

DWORD KTEnumKeyMediaDevices(DWORD dwTypeIndex, DWORD dwDeviceIndex, char *pszDeviceDescription) {
    STANDIN_ENTER();
    if (!pszDeviceDescription) return KT_ERROR_BAD_PARAMETER;
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    if (DWORD status = readiness(s)) return status;
    if (dwTypeIndex >= s.current.types.size()) return KT_ERROR_NO_MORE_ITEMS;
    const auto &devices = s.current.types[dwTypeIndex].devices;
    if (dwDeviceIndex >= devices.size()) return KT_ERROR_NO_MORE_ITEMS;
    const std::string &serial = devices[dwDeviceIndex].serial;
    std::memcpy(pszDeviceDescription, serial.c_str(), serial.size() + 1);
    return 0;
}

DWORD KTIsPrivateKeyExists(PKT_KEY_MEDIA pKeyMedia, BOOL *pbExists) {
    STANDIN_ENTER();
    if (!pKeyMedia || !pbExists) return KT_ERROR_BAD_PARAMETER;
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    device *d = nullptr;
    if (DWORD status = find_device(s, pKeyMedia, &d, nullptr)) return status;
    *pbExists = d->key ? 1 : 0;
    return 0;
}

DWORD KTGeneratePrivateKeyEx(PKT_KEY_MEDIA pKeyMedia, BOOL bSetKeyMediaPassword, DWORD dwUAKeysType,
                             DWORD dwUADSKeysSpec, DWORD dwUAKEPKeysSpec, char *pszUAParamsPath,
                             DWORD dwInternationalKeysType, DWORD dwInternationalKeysSpec,
                             char *pszInternationalParamsPath, PKT_USER_INFO pUserInfo, char *pszExtKeyUsages,
                             unsigned char **ppbPrivateKey, DWORD *pdwPrivateKeyLength,
                             unsigned char **ppbPrivateKeyInfo, DWORD *pdwPrivateKeyInfoLength,
                             unsigned char **ppbUARequest, DWORD *pdwUARequest, char *pszUARequestFileName,
                             unsigned char **ppbUAKEPRequest, DWORD *pdwUAKEPRequest, char *pszUAKEPRequestFileName,
                             unsigned char **ppbInternationalRequest, DWORD *pdwInternationalRequest,
                             char *pszInternationalRequestFileName) {
    // Key kinds, lengths, parameter paths, user data and usages are accepted as given:
    // the stand-in always makes a P-256 key with its own certificate.
    (void)bSetKeyMediaPassword, (void)dwUAKeysType, (void)dwUADSKeysSpec, (void)dwUAKEPKeysSpec;
    (void)pszUAParamsPath, (void)dwInternationalKeysSpec, (void)pszInternationalParamsPath, (void)pUserInfo;
    (void)pszExtKeyUsages, (void)pdwPrivateKeyLength, (void)pdwPrivateKeyInfoLength;
    (void)pdwInternationalRequest, (void)pszInternationalRequestFileName;
    STANDIN_ENTER();
    if (!pKeyMedia || !ppbUARequest != !pdwUARequest || !ppbUAKEPRequest != !pdwUAKEPRequest)
        return KT_ERROR_BAD_PARAMETER;
    // Keys handed to the caller and international keys are not made here.
    if (ppbPrivateKey || ppbPrivateKeyInfo || ppbInternationalRequest || dwInternationalKeysType != KT_KEYS_TYPE_NONE)
        return TAVREL_STANDIN_ERROR_NOT_SUPPORTED;
    return guarded([&]() -> DWORD {
        library_state &s = library();
        device snapshot;
        {
            std::lock_guard<std::mutex> guard(s.lock);
            device *d = nullptr;
            if (DWORD status = find_device(s, pKeyMedia, &d, nullptr)) return status;
            snapshot = *d;
        }
        // The slow part with no lock held.
        key_pem pem = make_device_key(snapshot);
        material_ptr material = material_from_pem(pem);
        bytes ds_request = ppbUARequest ? signing_request(*material) : bytes();
        bytes kep_request = ppbUAKEPRequest ? key_agreement_request(*material) : bytes();
        {
            std::lock_guard<std::mutex> guard(s.lock);
            device *d = nullptr;
            std::pair<size_t, size_t> where;
            if (DWORD status = find_device(s, pKeyMedia, &d, &where)) return status;
            std::optional<key_pem> previous = std::move(d->key);
            d->key = std::move(pem);  // a key already there is replaced
            if (DWORD status = persist(s, *d, std::move(previous), where)) return status;
            s.materials[where] = material;
        }
        unsigned char *ds = ppbUARequest ? new_buffer(ds_request) : nullptr;
        unsigned char *kep = nullptr;
        try {
            if (ppbUAKEPRequest) kep = new_buffer(kep_request);
        } catch (...) {
            free_buffer(ds);
            throw;
        }
        if (ppbUARequest) {
            *ppbUARequest = ds;
            *pdwUARequest = ds_request.size();
        }
        if (ppbUAKEPRequest) {
            *ppbUAKEPRequest = kep;
            *pdwUAKEPRequest = kep_request.size();
        }
        write_name(pszUARequestFileName, snapshot.serial + "-ds.p10");
        write_name(pszUAKEPRequestFileName, snapshot.serial + "-kep.p10");
        return 0;
    });
}

DWORD KTDestroyPrivateKey(PKT_KEY_MEDIA pKeyMedia) {
    STANDIN_ENTER();
    if (!pKeyMedia) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        library_state &s = library();
        std::lock_guard<std::mutex> guard(s.lock);
        device *d = nullptr;
        std::pair<size_t, size_t> where;
        if (DWORD status = find_device(s, pKeyMedia, &d, &where)) return status;
        if (!d->key) return TAVREL_STANDIN_ERROR_NO_KEY;
        std::optional<key_pem> previous = std::move(d->key);
        d->key.reset();
        return persist(s, *d, std::move(previous), where);
    });
}

DWORD KTCtxCreate(PVOID *ppvContext) {
    call_record(__func__).pointer(ppvContext);
    STANDIN_ENTER();
    if (!ppvContext) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    if (null_output_requested(__func__, 0)) return 0;
    return guarded([&]() -> DWORD {
        *ppvContext = new_context();
        return 0;
    });
}

void KTCtxFree(PVOID pvContext) {
    call_record(__func__).pointer(pvContext);
    note_call(__func__);
    free_context(pvContext);
}

DWORD KTCtxReadPrivateKey(PVOID pvContext, PKT_KEY_MEDIA pKeyMedia, PVOID *ppvPrivateKeyContext,
                          PKT_CERT_OWNER_INFO pInfo) {
    call_record(__func__)
        .pointer(pvContext)
        .bytes(pKeyMedia, sizeof(KT_KEY_MEDIA))
        .pointer(ppvPrivateKeyContext)
        .bytes(pInfo, sizeof(KT_CERT_OWNER_INFO));
    STANDIN_ENTER();
    if (!pvContext || !pKeyMedia || !ppvPrivateKeyContext || !is_context(pvContext)) return KT_ERROR_BAD_PARAMETER;
    return guarded([&, function = __func__]() -> DWORD {
        material_ptr material;
        if (DWORD status = media_key(pKeyMedia, &material)) return status;
        return open_private_key(pvContext, std::move(material), ppvPrivateKeyContext, pInfo,
                                null_output_requested(function, 2));
    });
}

DWORD KTCtxReadPrivateKeyFile(PVOID pvContext, char *pszPrivateKeyFileName, char *pszPassword,
                              PVOID *ppvPrivateKeyContext, PKT_CERT_OWNER_INFO pInfo) {
    STANDIN_ENTER();
    if (!pvContext || !pszPrivateKeyFileName || !pszPassword || !ppvPrivateKeyContext || !is_context(pvContext))
        return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes file;
        if (DWORD status = read_data_file(pszPrivateKeyFileName, &file)) return status;
        material_ptr material;
        switch (read_pkcs12(file, pszPassword, &material)) {
        case pkcs12_status::ok: break;
        case pkcs12_status::bad_password: return KT_ERROR_KEY_MEDIAS_ACCESS_FAILED;
        case pkcs12_status::not_pkcs12: return TAVREL_STANDIN_ERROR_CRYPTO;
        }
        return open_private_key(pvContext, std::move(material), ppvPrivateKeyContext, pInfo);
    });
}

void KTCtxFreePrivateKey(PVOID pvPrivateKeyContext) {
    call_record(__func__).pointer(pvPrivateKeyContext);
    note_call(__func__);
    free_private_key(pvPrivateKeyContext);
}

void KTCtxFreeCertOwnerInfo(PVOID pvContext, PKT_CERT_OWNER_INFO pInfo) {
    (void)pvContext;
    note_call(__func__);
    release_record(pInfo);
}

DWORD KTCtxGetOwnCertificate(PVOID pvPrivateKeyContext, DWORD dwCertKeyType, DWORD dwKeyUsage,
                             PKT_CERT_INFO_EX *ppInfo, unsigned char **ppbCertificate, DWORD *pdwCertificateLength) {
    call_record(__func__)
        .pointer(pvPrivateKeyContext)
        .number(dwCertKeyType)
        .number(dwKeyUsage)
        .pointer(ppInfo)
        .pointer(ppbCertificate)
        .pointer(pdwCertificateLength);
    STANDIN_ENTER();
    if (!pvPrivateKeyContext || (!ppInfo && !ppbCertificate) || (ppbCertificate && !pdwCertificateLength))
        return KT_ERROR_BAD_PARAMETER;
    std::shared_ptr<const private_key> key = find_private_key(pvPrivateKeyContext);
    if (!key) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    // The one certificate signs: asked for as the national kind, ECDSA or any.
    const bool type_ok = dwCertKeyType == KT_CERT_KEY_TYPE_UNKNOWN || dwCertKeyType == KT_CERT_KEY_TYPE_DSTU4145 ||
                         dwCertKeyType == KT_CERT_KEY_TYPE_ECDSA;
    const bool usage_ok = dwKeyUsage == KT_KEY_USAGE_UNKNOWN || dwKeyUsage == KT_KEY_USAGE_DIGITAL_SIGNATURE;
    if (!type_ok || !usage_ok) return TAVREL_STANDIN_ERROR_CERT_NOT_FOUND;
    return guarded([&, function = __func__]() -> DWORD {
        const X509 *cert = key->material->certificate.get();
        output_batch out(function);
        out.buffer(4, certificate_der(cert), ppbCertificate, pdwCertificateLength);
        if (ppInfo && !null_output_requested(function, 3)) *ppInfo = new_cert_info_ex(key->material->description);
        return out.commit();
    });
}

DWORD KTCtxSignData(PVOID pvPrivateKeyContext, DWORD dwSignAlgo, unsigned char *pbData, DWORD dwDataLength,
                    BOOL bExternal, BOOL bAppendCert, unsigned char **ppbSign, DWORD *pdwSignLength) {
    call_record(__func__)
        .pointer(pvPrivateKeyContext)
        .number(dwSignAlgo)
        .sized(pbData, dwDataLength)
        .number(static_cast<unsigned int>(bExternal))
        .number(static_cast<unsigned int>(bAppendCert))
        .pointer(ppbSign)
        .pointer(pdwSignLength);
    STANDIN_ENTER();
    if (!pvPrivateKeyContext || !pbData || !ppbSign || !pdwSignLength) return KT_ERROR_BAD_PARAMETER;
    std::shared_ptr<const private_key> key = find_private_key(pvPrivateKeyContext);
    if (!key) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = check_sign_algorithm(dwSignAlgo)) return status;
    if (DWORD status = ready()) return status;
    return guarded([&, function = __func__]() -> DWORD {
        return output_batch(function)
            .buffer(6, sign(*key, pbData, dwDataLength, bExternal, bAppendCert), ppbSign, pdwSignLength)
            .commit();
    });
}

DWORD KTCtxSignFile(PVOID pvPrivateKeyContext, DWORD dwSignAlgo, char *pszFileName, BOOL bExternal, BOOL bAppendCert,
                    char *pszFileNameWithSign) {
    STANDIN_ENTER();
    if (!pvPrivateKeyContext || !pszFileName || !pszFileNameWithSign) return KT_ERROR_BAD_PARAMETER;
    std::shared_ptr<const private_key> key = find_private_key(pvPrivateKeyContext);
    if (!key) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = check_sign_algorithm(dwSignAlgo)) return status;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes data;
        if (DWORD status = read_data_file(pszFileName, &data)) return status;
        bytes signature = sign(*key, data.data(), data.size(), bExternal, bAppendCert);
        return write_whole_file(pszFileNameWithSign, signature) ? 0 : TAVREL_STANDIN_ERROR_FILE;
    });
}

DWORD KTCtxHashData(PVOID pvContext, DWORD dwHashAlgo, unsigned char *pbCertificate, DWORD dwCertificateLength,
                    unsigned char *pbData, DWORD dwDataLength, unsigned char **ppbHash, DWORD *pdwHashLength) {
    // The certificate chooses parameters of the national hash only; the substitute has none.
    (void)pbCertificate, (void)dwCertificateLength;
    STANDIN_ENTER();
    if (!pvContext || !pbData || !ppbHash || !pdwHashLength || !is_context(pvContext)) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes hash;
        if (!digest(dwHashAlgo, pbData, dwDataLength, &hash)) return KT_ERROR_BAD_PARAMETER;
        *ppbHash = new_buffer(hash);
        *pdwHashLength = hash.size();
        return 0;
    });
}

DWORD KTVerifyDataWithParams(unsigned char *pbData, DWORD dwDataLength, DWORD dwSignIndex, char *pszSign,
                             unsigned char *pbSign, DWORD dwSignLength, BOOL bOnTime, PSYSTEMTIME pOnTime,
                             BOOL bOffline, unsigned char *pbCertificate, DWORD dwCertificateLength, BOOL bNoCRL,
                             PKT_SIGN_INFO pSignInfo) {
    // No revocation or validity-time checks exist here, so the offline and CRL switches
    // change nothing and a verification time only has to be given when asked for.
    (void)bOffline, (void)bNoCRL;
    STANDIN_ENTER();
    if (!pbSign) return pszSign ? TAVREL_STANDIN_ERROR_NOT_SUPPORTED : KT_ERROR_BAD_PARAMETER;
    if (dwSignLength == 0 || (!pbData && dwDataLength) || (bOnTime && !pOnTime) ||
        (pbCertificate && dwCertificateLength == 0))
        return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        x509_ptr certificate;
        if (pbCertificate) {
            certificate = certificate_from_der(pbCertificate, dwCertificateLength);
            if (!certificate) return TAVREL_STANDIN_ERROR_CRYPTO;
        }
        verified_signer signer;
        verify_status result =
            cms_verify(pbData, dwDataLength, pbSign, dwSignLength, certificate.get(), dwSignIndex, &signer);
        if (DWORD status = verdict(result)) return status;
        fill_sign_info(pSignInfo, signer);
        return 0;
    });
}

void KTFreeMemory(unsigned char *pbMemory) {
    note_call(__func__);
    const unsigned long number = free_buffer(pbMemory);
    if (number && trace_releases()) {
        char line[64];
        std::snprintf(line, sizeof line, "released buffer %lu", number);
        trace_line(line);
    }
}

void KTFreeCertOwnerInfo(PKT_CERT_OWNER_INFO pInfo) {
    note_call(__func__);
    release_record(pInfo);
}

void KTFreeSignInfo(PKT_SIGN_INFO pSignInfo) {
    note_call(__func__);
    release_record(pSignInfo);
}

void KTFreeSenderInfo(PKT_ENVELOP_INFO pSenderInfo) {
    note_call(__func__);
    release_record(pSenderInfo);
}

void KTFreeCertificateInfo(PKT_CERT_INFO pInfo) {
    note_call(__func__);
    release_record(pInfo);
}

void KTFreeCertificateInfoEx(PKT_CERT_INFO_EX pInfo) {
    note_call(__func__);
    release_record(pInfo);
}

void KTFreeCRInfo(KT_CR_INFO *pCRInfo) {
    note_call(__func__);
    release_record(pCRInfo);
}

void KTFreeCertificatesArray(DWORD dwCount, unsigned char **ppbCertificates, DWORD *pdwCertificatesLength) {
    note_call(__func__);
    // Certificates and arrays are library buffers; pointers the library never handed
    // out are left alone.
    if (ppbCertificates)
        for (DWORD i = 0; i < dwCount; ++i) free_buffer(ppbCertificates[i]);
    free_buffer(reinterpret_cast<unsigned char *>(ppbCertificates));
    free_buffer(reinterpret_cast<unsigned char *>(pdwCertificatesLength));
}

void TavrelStandin_SetWorldPath(const char *path) {
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    s.path_override = path != nullptr;
    s.override_path = path ? path : "";
}

TavrelStandinCounters TavrelStandin_GetCounters(void) { return counters(); }

void TavrelStandin_Reset(void) {
    reset_controls();
    reset_call_records();
    reset_violations();
    TavrelStandin_SetWorldPath(nullptr);
}

}  // extern "C"
