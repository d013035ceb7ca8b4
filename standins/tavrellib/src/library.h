// State and helpers that the library's functions share across source files: the
// world read at KTInitialize, the key the library holds itself, and the pieces that
// fill records and guard calls.
#pragma once

#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "controls.h"
#include "crypto.h"
#include "kt_api.h"
#include "resources.h"
#include "tavrel_standin.h"
#include "world.h"

namespace tavrel_standin {

using device_position = std::pair<size_t, size_t>;  // type index, device index

struct library_state {
    std::mutex lock;
    bool initialised = false;
    DWORD load_error = 0;  // why the last KTInitialize failed, for calls that need the world
    bool path_override = false;
    std::string override_path;
    std::string world_path;
    world current;
    std::map<device_position, material_ptr> materials;  // parsed device keys
    material_ptr own_key;  // the key read by KTReadPrivateKey and its kin; dropped by KTFinalize
};

library_state &library();

// Status of a call that needs an initialised library; under the lock.
DWORD readiness(const library_state &s);
// The same, taking the lock.
DWORD ready();

// Runs `body`, turning exceptions into statuses: nothing escapes to a C caller.
template <class Body>
DWORD guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return KT_ERROR_RESOURCE_FAILED;
    } catch (const world_error &) {
        return TAVREL_STANDIN_ERROR_WORLD;
    } catch (...) {
        return TAVREL_STANDIN_ERROR_CRYPTO;
    }
}

// The device that `media` addresses, once its password is checked; under the lock.
DWORD find_device(library_state &s, const KT_KEY_MEDIA *media, device **found, device_position *where);

// The parsed key of a device that has one, made once; under the lock.
material_ptr device_material(library_state &s, const device &d, device_position where);

// The key of the device that `media` addresses: its status (password, no key), taking the lock.
DWORD media_key(const KT_KEY_MEDIA *media, material_ptr *material);

void to_systemtime(const struct tm &tm, SYSTEMTIME *out);

// The owner fields that KT_CERT_OWNER_INFO, KT_SIGN_INFO and KT_CERT_INFO_EX share.
template <class Record>
void set_owner_fields(Record &r, const certificate_texts &t, record_texts &texts) {
    r.bFilled = 1;
    r.pszIssuer = texts(t.issuer);
    r.pszIssuerCN = texts(t.issuer_cn);
    r.pszSerial = texts(t.serial);
    r.pszSubject = texts(t.subject);
    r.pszSubjCN = texts(t.subj_cn);
    r.pszSubjOrg = texts(t.subj_org);
    r.pszSubjOrgUnit = texts(t.subj_org_unit);
    r.pszSubjTitle = texts(t.subj_title);
    r.pszSubjState = texts(t.subj_state);
    r.pszSubjLocality = texts(t.subj_locality);
    r.pszSubjFullName = texts(t.subj_cn);
    r.pszSubjEMail = texts(t.subj_email);
}

// The owner fields with the validity, the public key and the key usage, which
// KT_CERT_INFO and KT_CERT_INFO_EX share.
template <class Record>
void set_certificate_fields(Record &r, const certificate_texts &t, record_texts &texts) {
    set_owner_fields(r, t, texts);
    to_systemtime(t.not_before, &r.stCertBeginTime);
    to_systemtime(t.not_after, &r.stCertEndTime);
    r.dwPublicKeyBits = t.public_key_bits;
    r.pszPublicKey = texts(t.public_key);
    r.pszPublicKeyID = texts(t.public_key_id);
    r.pszKeyUsage = texts("digitalSignature, nonRepudiation");
}

void fill_owner_info(KT_CERT_OWNER_INFO *info, const key_material &material);

// A library-made KT_CERT_INFO_EX of a described certificate, released with KTFreeCertificateInfoEx.
KT_CERT_INFO_EX *new_cert_info_ex(const certificate_texts &t);

// Reads a key, container or data file whole: 0, TAVREL_STANDIN_ERROR_FILE (unreadable,
// or not a regular file) or TAVREL_STANDIN_ERROR_FILE_TOO_LARGE.
DWORD read_data_file(const char *path, bytes *out);
// Creates or replaces the file with `data`.
bool write_file(const char *path, const bytes &data);

// Sign codes the stand-in's P-256 keys serve: 1 (in place of DSTU 4145) and 3 (ECDSA);
// 2 is NOT_SUPPORTED, others BAD_PARAMETER.
DWORD check_sign_algorithm(DWORD algorithm);

// The key of a live private-key context (2 for any other handle), and the readiness status.
DWORD private_key_material(void *handle, material_ptr *material);

// Writes a request's file name into the caller's name buffer (at least 1025 bytes), if given.
void write_name(char *buffer, const std::string &name);

// A new private-key context through `context` for `material`, with the owner record
// (may be null) filled; 2 when `context` is no live context. With `leave_null` (a test's
// request) only the record is filled and `*key` stays as it is.
DWORD open_private_key(void *context, material_ptr material, void **key, KT_CERT_OWNER_INFO *info,
                       bool leave_null = false);

// The status of a PKCS#12 read: 18 for a wrong password, CRYPTO for no key file.
DWORD pkcs12_read_status(pkcs12_status status);

}  // namespace tavrel_standin

// Entry of a function with a status: counts, traces, delays; returns an injected status at once.
#define STANDIN_ENTER()                                                        \
    do {                                                                       \
        if (DWORD injected = tavrel_standin::enter(__func__)) return injected; \
    } while (0)

namespace tavrel_standin {

// The store's certificate with this issuer (Windows-1251) and serial; CERT_NOT_FOUND when
// none matches. Takes the lock.
DWORD stored_certificate(const char *issuer, const char *serial, x509_ptr *found);

}  // namespace tavrel_standin
