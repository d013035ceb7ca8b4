#include "tavrel/api.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "kt_api.h"
#include "signal_window.h"
#include "tavrel/cp1251.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/kt_guard.h"
#include "zarn/support/kt_media.h"
#include "zarn/support/kt_owners.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {
namespace VekCli {
namespace Tavrel {

namespace {

constexpr char kUnitFile[] = __FILE__;
class kt_guard : public Zarn::Support::basic_kt_guard<kUnitFile> {
    using basic_kt_guard::basic_kt_guard;
};

// "е.ключ ВЕК Модра-1К" in UTF-8.
constexpr char kAcceptedType[] =
    "\xD0\xB5.\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87 \xD0\x92\xD0\x95\xD0\x9A "
    "\xD0\x9C\xD0\xBE\xD0\xB4\xD1\x80\xD0\xB0-1\xD0\x9A";
constexpr unsigned long kUtf8Size = 1028;                 // room for a media description's UTF-8 form
constexpr size_t kMaxPassword = KT_PASS_MAX_LENGTH - 1;   // bytes szPassword holds before its NUL
constexpr size_t kRequestNameSize = KT_ERROR_MAX_LENGTH;  // file-name buffers of KTGeneratePrivateKeyEx
constexpr char kTestMessage[] = "0123456789";
constexpr DWORD kTestMessageSize = sizeof(kTestMessage) - 1;

// The key-generation arguments: a signing and a key-agreement key of the national
// kinds, no international key.
constexpr BOOL kSetKeyMediaPassword = true;
constexpr DWORD kUAKeysType = KT_KEYS_TYPE_DSTU_AND_ECDH_WITH_GOSTS;
constexpr DWORD kUADSKeysSpec = KT_KEYS_LENGTH_DS_UA_257;
constexpr DWORD kUAKEPKeysSpec = KT_KEYS_LENGTH_KEP_UA_431;
constexpr DWORD kInternationalKeysType = KT_KEYS_TYPE_NONE;
constexpr DWORD kInternationalKeysSpec = KT_KEYS_LENGTH_DS_RSA_2048;  // unused without an international key

// The key's own certificate and its description; the description goes first.
struct own_certificate {
    kt_buffer certificate;
    kt_cert_info info;
    DWORD size = 0;
};

// A key read from a medium; members go in reverse order, the key before its context.
struct key_fixture {
    kt_context context;
    kt_private_key privateKey;
    KT_KEY_MEDIA media;
};

std::string _T_base64(const unsigned char *data, size_t size) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const unsigned long chunk = (static_cast<unsigned long>(data[i]) << 16) |
                                    (i + 1 < size ? static_cast<unsigned long>(data[i + 1]) << 8 : 0) |
                                    (i + 2 < size ? data[i + 2] : 0);
        out += kDigits[(chunk >> 18) & 63];
        out += kDigits[(chunk >> 12) & 63];
        out += i + 1 < size ? kDigits[(chunk >> 6) & 63] : '=';
        out += i + 2 < size ? kDigits[chunk & 63] : '=';
    }
    return out;
}

// One certificate request in full, so the operator can recover it from the log.
void _T_log_request(const std::string &name, const unsigned char *data, DWORD size) {
    if (!data) size = 0;
    ZLOG_FAIL("keyCreate", "fail: request not archived (name:<%s>, size:%lu, base64:%s)", name.c_str(), size,
              _T_base64(data, size).c_str());
}

std::string _T_time_text(SYSTEMTIME time) {
    char text[128];
    std::snprintf(text, sizeof text, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", time.wYear, time.wMonth, time.wDay, time.wHour,
                  time.wMinute, time.wSecond);
    return text;
}

// Windows-1251 to UTF-8 into size bytes of target. False when the text cannot be
// converted (the caller skips it).
bool _T_conv_1251_utf8(const char *source, char *target, unsigned long size) {
    const cp1251_conversion done = Cp1251ToUtf8(source, std::strlen(source), target, size);
    if (done.sourceLeft != 0) {
        ZLOG_WARN("_T_conv_1251_utf8", "fail: iconv (source-left:%zu)", done.sourceLeft);
        return false;
    }
    if (done.targetLeft == 0) {
        ZLOG_WARN("_T_conv_1251_utf8", "fail: iconv (target-left:%zu)", done.targetLeft);
        return false;
    }
    target[size - done.targetLeft] = '\0';
    return true;
}

// Whether the type's description is the accepted one; other types are passed over.
bool _T_is_accepted_type(DWORD typeIndex, const char *typeText, const char *function, bool logSkip) {
    char utf8[kUtf8Size];
    if (!_T_conv_1251_utf8(typeText, utf8, kUtf8Size)) {
        ZLOG_TRACE(function, "skip: type-index:%lu (type-desc not convertible)", typeIndex);
        return false;
    }
    if (std::strcmp(utf8, kAcceptedType) != 0) {
        if (logSkip) ZLOG_TRACE(function, "skip: type-desc:<%s>", utf8);
        return false;
    }
    return true;
}

// Calls visit(typeIndex, devIndex, serial) for each device of the accepted type, in
// index order, until it returns true; returns whether one did.
template <class Visit>
bool _T_for_each_device(const char *function, bool logSkips, Visit visit) {
    return kt_walk_media(
        [&](DWORD typeIndex, char *typeText) { return _T_is_accepted_type(typeIndex, typeText, function, logSkips); },
        visit,
        [&](const kt_media_failure &failure) {
            if (failure.onDevice) {
                ZLOG_FAIL(function, "fail: KTEnumKeyMediaDevices (type-index:%lu, dev-index:%lu, error:%lu, %s)",
                          failure.typeIndex, failure.devIndex, failure.status, kt_error_text(failure.status));
            } else {
                ZLOG_FAIL(function, "fail: KTEnumKeyMediaTypes (type-index:%lu, error:%lu, %s)", failure.typeIndex,
                          failure.status, kt_error_text(failure.status));
            }
        });
}

// Finds the device whose serial is `serial`. The password goes into the medium only
// when szPassword can hold it; the access check refuses a longer one.
bool _T_find_private_key_media(const std::string &serial, const std::string &password, KT_KEY_MEDIA *media) {
    ZLOG_TRACE("_T_find_private_key_media", "exec");
    const bool found =
        _T_for_each_device("_T_find_private_key_media", false, [&](DWORD type, DWORD dev, const char *text) {
            if (serial != text) return false;
            std::memset(media, 0, sizeof *media);
            media->dwTypeIndex = type;
            media->dwDevIndex = dev;
            if (password.size() <= kMaxPassword) std::memcpy(media->szPassword, password.data(), password.size());
            return true;
        });
    if (found) {
        ZLOG_TRACE("_T_find_private_key_media", "done");
    } else {
        ZLOG_FAIL("_T_find_private_key_media", "fail: media-serial:%s", serial.c_str());
    }
    return found;
}

class api : public api_like {
public:
    explicit api(std::shared_ptr<Fs::api_like> fs) : _fs(std::move(fs)) {}

    bool mediaList(std::string serial) override;
    bool mediaList(std::vector<std::string> &serials) override;
    void keyCreate(std::string serial, std::string password, std::string csrDsName, std::string csrKepName,
                   std::string csrZipPath) override;
    void keyDelete(std::string serial, std::string password) override;
    bool keyTestAccess(std::string serial, std::string password) override;
    bool keyTestValid(std::string serial, std::string password) override;
    bool keyTestSign(std::string serial, std::string password) override;
    bool keyTestAll(std::string serial, std::string password, bool *access, bool *valid, bool *sign) override;
    void signCrtPeriod(std::string serial, std::string password, std::string &minTime, std::string &maxTime) override;
    void signExporCrt(std::string serial, std::string password, std::string crtPath) override;
    void signCreateExt(std::string serial, std::string password, std::string blobPath, std::string signPath,
                       bool flag) override;
    bool signVerify(std::string blobPath, std::string signPath, std::string crtPath) override;

private:
    bool keyTestAccess(KT_KEY_MEDIA &media, const std::string &password);
    bool keyTestSign(const KT_KEY_MEDIA &media);
    key_fixture *keyCreateFixture(const KT_KEY_MEDIA &media);
    // The medium guard: found by serial, password accepted, key present; else params_error.
    KT_KEY_MEDIA guardMedia(const char *function, const std::string &serial, const std::string &password);
    // The own certificate of the key behind the medium guard; internal_error when the
    // library has none to give.
    own_certificate ownCertificate(const char *function, const std::string &serial, const std::string &password);

    std::shared_ptr<Fs::api_like> _fs;
    std::unique_ptr<key_fixture> _fixture;
};

bool api::mediaList(std::vector<std::string> &serials) {
    ZLOG_TRACE("mediaList", "exec");
    _T_for_each_device("mediaList", true, [&](DWORD, DWORD, const char *text) {
        serials.emplace_back(text);
        ZLOG_TRACE("mediaList", "done: serial:%s", text);
        return false;
    });
    ZLOG_TRACE("mediaList", "done: serial-count:%zu", serials.size());
    return !serials.empty();
}

bool api::mediaList(std::string serial) {
    ZLOG_TRACE("mediaList", "exec");
    std::vector<std::string> serials;
    mediaList(serials);
    bool found = false;
    for (const std::string &each : serials) found = found || each == serial;
    ZLOG_TRACE("mediaList", "done: (media-found:%s", found ? "yes" : "no");
    return found;
}

bool api::keyTestAccess(KT_KEY_MEDIA &media, const std::string &password) {
    if (password.size() > kMaxPassword) {
        ZLOG_FAIL("keyTestAccess", "fail: password too long (size:%zu, max-size:%zu)", password.size(), kMaxPassword);
        return false;
    }
    BOOL exists = 0;
    const DWORD status = KTIsPrivateKeyExists(&media, &exists);
    if (status == KT_ERROR_KEY_MEDIAS_ACCESS_FAILED) {
        ZLOG_FAIL("keyTestAccess", "fail: KTIsPrivateKeyExists (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)");
        return false;
    }
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("keyTestAccess", "fail: KTIsPrivateKeyExists %lu (%s)", status, kt_error_text(status));
        throw internal_error();
    }
    return exists != 0;
}

key_fixture *api::keyCreateFixture(const KT_KEY_MEDIA &media) {
    if (_fixture && _fixture->media.dwTypeIndex == media.dwTypeIndex &&
        _fixture->media.dwDevIndex == media.dwDevIndex) {
        return _fixture.get();
    }
    std::unique_ptr<key_fixture> fixture(new key_fixture{});
    fixture->media = media;
    ZLOG_TRACE("key_fixture", "exec");

    DWORD status = KTCtxCreate(fixture->context.out());
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("key_fixture", "fail: KTCtxCreate (error:%lu, %s)", status, kt_error_text(status));
        throw internal_error();
    }

    kt_cert_owner_info ownerInfo;
    status = KTCtxReadPrivateKey(fixture->context.get(), &fixture->media, fixture->privateKey.out(), ownerInfo.out());
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("key_fixture", "fail: KTCtxReadPrivateKey (media-type:%lu, media-dev:%lu, error:%lu, %s)",
                  media.dwTypeIndex, media.dwDevIndex, status, kt_error_text(status));
        throw internal_error();
    }
    ownerInfo.adopt(fixture->context.get());
    ownerInfo.reset();  // not used
    ZLOG_TRACE("key_fixture", "done: KTCtxReadPrivateKey");
    ZLOG_TRACE("key_fixture", "done");
    _fixture = std::move(fixture);
    return _fixture.get();
}

KT_KEY_MEDIA api::guardMedia(const char *function, const std::string &serial, const std::string &password) {
    KT_KEY_MEDIA media;
    if (!_T_find_private_key_media(serial, password, &media) || !keyTestAccess(media, password)) {
        ZLOG_TRACE(function, "fail: params_error");
        throw params_error();
    }
    return media;
}

own_certificate api::ownCertificate(const char *function, const std::string &serial, const std::string &password) {
    key_fixture *fixture = keyCreateFixture(guardMedia(function, serial, password));
    own_certificate own;
    const DWORD status = KTCtxGetOwnCertificate(fixture->privateKey.get(), KT_CERT_KEY_TYPE_DSTU4145,
                                                KT_KEY_USAGE_DIGITAL_SIGNATURE, own.info.out(), own.certificate.out(),
                                                &own.size);
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL(function, "fail: KTCtxGetOwnCertificate (error:%lu, %s)", status, kt_error_text(status));
        throw internal_error();
    }
    if (!own.info || !own.certificate) {
        ZLOG_FAIL(function, "fail: KTCtxGetOwnCertificate (no certificate returned)");
        throw internal_error();
    }
    ZLOG_TRACE(function, "done: KTCtxGetOwnCertificate (cert-size:%lu)", own.size);
    return own;
}

void api::keyCreate(std::string serial, std::string password, std::string csrDsName, std::string csrKepName,
                    std::string csrZipPath) {
    ZLOG_TRACE("keyCreate", "exec");
    KT_KEY_MEDIA media;
    if (!_T_find_private_key_media(serial, password, &media)) {
        ZLOG_TRACE("keyCreate", "fail: params_error");
        throw params_error();
    }
    if (password.size() > kMaxPassword) {  // no medium accepts it: answered as a refused password
        ZLOG_FAIL("keyCreate", "fail: password too long (size:%zu, max-size:%zu)", password.size(), kMaxPassword);
        throw internal_error();
    }
    // Everything the archive needs is checked before the key exists, and its place
    // located (folders made) once: createZip writes there, or fails if the name changed.
    // Folders made go again with the file facade when no archive is written.
    _fs->checkZip(csrZipPath.c_str(), csrDsName.c_str(), csrKepName.c_str());

    // From the key's replacement until its requests are archived, or logged, a signal
    // that would end the command waits: the new key never goes without its requests.
    const signal_window window;
    kt_buffer dsRequest;
    kt_buffer kepRequest;  // released first
    DWORD dsRequestSize = 0, kepRequestSize = 0;
    char dsRequestName[kRequestNameSize] = {}, kepRequestName[kRequestNameSize] = {};
    const DWORD status = KTGeneratePrivateKeyEx(
        &media, kSetKeyMediaPassword, kUAKeysType, kUADSKeysSpec, kUAKEPKeysSpec, nullptr, kInternationalKeysType,
        kInternationalKeysSpec, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, dsRequest.out(),
        &dsRequestSize, dsRequestName, kepRequest.out(), &kepRequestSize, kepRequestName, nullptr, nullptr, nullptr);
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("keyCreate", "fail: KTGeneratePrivateKeyEx (error:%lu, %s)", status, kt_error_text(status));
        throw internal_error();
    }
    try {
        _fs->createZip(csrZipPath.c_str(), csrDsName.c_str(), dsRequest.get(), dsRequestSize, csrKepName.c_str(),
                       kepRequest.get(), kepRequestSize);
    } catch (...) {
        // The key exists now: its requests survive in the log.
        _T_log_request(csrDsName, dsRequest.get(), dsRequestSize);
        _T_log_request(csrKepName, kepRequest.get(), kepRequestSize);
        throw;
    }
    ZLOG_TRACE("keyCreate", "done");
}

void api::keyDelete(std::string serial, std::string password) {
    ZLOG_TRACE("keyDelete", "exec");
    KT_KEY_MEDIA media = guardMedia("keyDelete", serial, password);
    DWORD status = KTDestroyPrivateKey(&media);
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("keyDelete", "fail: KTDestroyPrivateKey (error:%lu, %s)", status, kt_error_text(status));
        throw internal_error();
    }
    BOOL exists = 0;
    status = KTIsPrivateKeyExists(&media, &exists);
    if (status == KT_ERROR_KEY_MEDIAS_ACCESS_FAILED) {
        ZLOG_FAIL("keyDelete", "fail: KTIsPrivateKeyExists (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)");
    } else if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("keyDelete", "fail: KTIsPrivateKeyExists %lu (%s)", status, kt_error_text(status));
        throw internal_error();
    } else if (exists) {
        ZLOG_TRACE("keyDelete", "fail: internal_error (key still exist)");
        throw internal_error();
    }
    ZLOG_TRACE("keyDelete", "done");
}

bool api::keyTestAccess(std::string serial, std::string password) {
    ZLOG_TRACE("keyTestAccess", "exec");
    KT_KEY_MEDIA media;
    if (!_T_find_private_key_media(serial, password, &media)) {
        ZLOG_TRACE("keyTestAccess", "fail: invalid key-media");
        return false;
    }
    const bool result = keyTestAccess(media, password);
    ZLOG_TRACE("keyTestAccess", "done: key-access:%s", result ? "yes" : "no");
    return result;
}

bool api::keyTestValid(std::string serial, std::string password) {
    ZLOG_TRACE("keyTestValid", "exec");
    KT_KEY_MEDIA media;
    if (!_T_find_private_key_media(serial, password, &media)) {
        ZLOG_TRACE("keyTestValid", "fail: invalid key-media");
        return false;
    }
    if (!keyTestAccess(media, password)) {
        ZLOG_TRACE("keyTestValid", "fail: invalid key-access");
        return false;
    }
    bool result = true;
    try {
        keyCreateFixture(media);
    } catch (const internal_error &) {
        result = false;
    }
    ZLOG_TRACE("keyTestValid", "done: key-valid:%s", result ? "yes" : "no");
    return result;
}

bool api::keyTestSign(const KT_KEY_MEDIA &media) {
    key_fixture *fixture = keyCreateFixture(media);

    // Declared so that the signature goes first, then the description, then the certificate.
    kt_buffer certificate;
    kt_cert_info info;
    kt_buffer sign;
    DWORD certificateSize = 0;
    DWORD status = KTCtxGetOwnCertificate(fixture->privateKey.get(), KT_CERT_KEY_TYPE_DSTU4145,
                                          KT_KEY_USAGE_DIGITAL_SIGNATURE, info.out(), certificate.out(),
                                          &certificateSize);
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("keyTestSign", "fail: KTCtxGetOwnCertificate (error:%lu, %s)", status, kt_error_text(status));
        return false;
    }
    ZLOG_TRACE("keyTestSign", "done: KTCtxGetOwnCertificate (cert-size:%lu)", certificateSize);

    unsigned char message[sizeof kTestMessage];
    std::memcpy(message, kTestMessage, sizeof message);
    DWORD signSize = 0;
    status = KTCtxSignData(fixture->privateKey.get(), KT_CTX_SIGN_DSTU4145_WITH_GOST34311, message, kTestMessageSize,
                           /*bExternal*/ true, /*bAppendCert*/ false, sign.out(), &signSize);
    if (status != KT_ERROR_NONE) {
        ZLOG_WARN("keyTestSign", "fail: KTSignData (error:%lu, %s)", status, kt_error_text(status));
        return false;
    }
    ZLOG_TRACE("keyTestSign", "done: KTSignData (sign-size:%lu)", signSize);

    KT_SIGN_INFO signInfo = {};
    status = KTVerifyDataWithParams(message, kTestMessageSize, /*dwSignIndex*/ 0, nullptr, sign.get(), signSize,
                                    /*bOnTime*/ false, nullptr, /*bOffline*/ false, certificate.get(), certificateSize,
                                    /*bNoCRL*/ false, &signInfo);
    if (status != KT_ERROR_NONE) {
        ZLOG_WARN("keyTestSign", "fail: KTVerifyDataWithParams (error:%lu, %s)", status, kt_error_text(status));
        return false;
    }
    ZLOG_TRACE("keyTestSign", "done: KTVerifyDataWithParams (time-avail:%s)", signInfo.bTimeAvail ? "yes" : "no");
    KTFreeSignInfo(&signInfo);
    return true;
}

bool api::keyTestSign(std::string serial, std::string password) {
    ZLOG_TRACE("keyTestSign", "exec");
    const KT_KEY_MEDIA media = guardMedia("keyTestSign", serial, password);
    const bool result = keyTestSign(media);
    ZLOG_TRACE("keyTestSign", "done: sign-valid:%s", result ? "yes" : "no");
    return result;
}

bool api::keyTestAll(std::string serial, std::string password, bool *access, bool *valid, bool *sign) {
    *access = *valid = *sign = false;
    ZLOG_TRACE("keyTestAll", "exec");
    KT_KEY_MEDIA media;
    if (!_T_find_private_key_media(serial, password, &media)) {
        ZLOG_TRACE("keyTestAll", "fail: params_error");
        throw params_error();
    }
    if (!keyTestAccess(media, password)) {
        ZLOG_TRACE("keyTestAll", "done: key-access:no, key-valid:no, key-sign:no)");
        return false;
    }
    *access = true;
    try {
        keyCreateFixture(media);
    } catch (const internal_error &) {
        ZLOG_TRACE("keyTestAll", "done: key-access:yes, key-valid:no, key-sign:no)");
        return false;
    }
    *valid = true;
    if (!keyTestSign(media)) {
        ZLOG_TRACE("keyTestAll", "done: key-access:yes, key-valid:yes, key-sign:no)");
        return false;
    }
    *sign = true;
    ZLOG_TRACE("keyTestAll", "done: key-access:yes, key-valid:yes, key-sign:yes)");
    return true;
}

void api::signCrtPeriod(std::string serial, std::string password, std::string &minTime, std::string &maxTime) {
    ZLOG_TRACE("signCrtPeriod", "exec");
    const own_certificate own = ownCertificate("signCrtPeriod", serial, password);
    minTime = _T_time_text(own.info.get()->stCertBeginTime);
    maxTime = _T_time_text(own.info.get()->stCertEndTime);
    ZLOG_TRACE("signCrtPeriod", "done");
}

void api::signExporCrt(std::string serial, std::string password, std::string crtPath) {
    ZLOG_TRACE("signExporCrt", "exec");
    own_certificate own = ownCertificate("signExporCrt", serial, password);
    own.info.reset();
    _fs->writeFile(crtPath.c_str(), own.certificate.get(), own.size);
    ZLOG_TRACE("signExporCrt", "done");
}

void api::signCreateExt(std::string serial, std::string password, std::string blobPath, std::string signPath,
                        bool flag) {
    ZLOG_TRACE("signCreateExt", "exec");
    key_fixture *fixture = keyCreateFixture(guardMedia("signCreateExt", serial, password));
    _fs->checkPassage(blobPath.c_str(), signPath.c_str());
    // The library writes the signature under the file facade's temporary name, which
    // leads through the folder the facade located and holds (/proc/self/fd/<folder>/...).
    _fs->replaceFile(signPath.c_str(), [&](const char *name) {
        std::string signName(name);
        const DWORD status = KTCtxSignFile(fixture->privateKey.get(), KT_CTX_SIGN_DSTU4145_WITH_GOST34311,
                                           &blobPath[0], /*bExternal*/ true, flag, &signName[0]);
        if (status != KT_ERROR_NONE) {
            ZLOG_FAIL("signCreateExt", "fail: KTCtxSignFile (error:%lu, %s)", status, kt_error_text(status));
            throw internal_error();
        }
    });
    ZLOG_TRACE("signCreateExt", "done");
}

bool api::signVerify(std::string blobPath, std::string signPath, std::string crtPath) {
    ZLOG_TRACE("signVerify", "exec");
    unsigned long dataSize = 0, signSize = 0, certificateSize = 0;
    const std::unique_ptr<unsigned char[]> data(_fs->readFile(blobPath.c_str(), &dataSize));
    const std::unique_ptr<unsigned char[]> sign(_fs->readFile(signPath.c_str(), &signSize));
    const std::unique_ptr<unsigned char[]> certificate(_fs->readFile(crtPath.c_str(), &certificateSize));
    ZLOG_TRACE("signVerify", "blobSize:%lu signSize:%lu, certSize:%lu", dataSize, signSize, certificateSize);

    KT_SIGN_INFO signInfo = {};
    const DWORD status = KTVerifyDataWithParams(data.get(), dataSize, /*dwSignIndex*/ 0, nullptr, sign.get(), signSize,
                                                /*bOnTime*/ false, nullptr, /*bOffline*/ false, certificate.get(),
                                                certificateSize, /*bNoCRL*/ false, &signInfo);
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("signVerify", "fail: KTVerifyDataWithParams (%s)", kt_error_text(status));
        return false;
    }
    if (signInfo.bTimeAvail || signInfo.bTimeStamp) {
        const SYSTEMTIME time = signInfo.Time;
        ZLOG_TRACE("signVerify", "done: KTVerifyDataWithParams (signed-at:<%u/%u/%u %u:%u:%u.%u>)",
                   unsigned(time.wYear), unsigned(time.wMonth), unsigned(time.wDay), unsigned(time.wHour),
                   unsigned(time.wMinute), unsigned(time.wSecond), unsigned(time.wMilliseconds));
    } else {
        ZLOG_TRACE("signVerify", "done: KTVerifyDataWithParams (time-avali:no)");
    }
    KTFreeSignInfo(&signInfo);
    return true;
}

}  // namespace

std::shared_ptr<api_like> Api__Create(std::shared_ptr<Fs::api_like> fs) {
    static kt_guard _s_kt_guard(__LINE__);
    return std::make_shared<api>(std::move(fs));
}

}  // namespace Tavrel
}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
