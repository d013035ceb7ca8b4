#include "vek_engine.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "kt_api.h"
#include "vek_json.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

namespace {

const char *error_text(DWORD status) {
    const char *text = KTGetErrorLangDesc(status, KT_EN_LANG);
    return text ? text : "";
}

constexpr char kAccess[] = "KT_ERROR_KEY_MEDIAS_ACCESS_FAILED";
constexpr char kAccessKtError[] = "kterror:KT_ERROR_KEY_MEDIAS_ACCESS_FAILED";

// Owners of the library's handles.
struct context_owner {
    PVOID handle = nullptr;
    context_owner() = default;
    context_owner(const context_owner &) = delete;
    context_owner &operator=(const context_owner &) = delete;
    ~context_owner() {
        if (handle) KTCtxFree(handle);
    }
};

struct private_key_owner {
    PVOID handle = nullptr;
    private_key_owner() = default;
    private_key_owner(const private_key_owner &) = delete;
    private_key_owner &operator=(const private_key_owner &) = delete;
    ~private_key_owner() {
        if (handle) KTCtxFreePrivateKey(handle);
    }
};

// Owners of library-allocated results.
struct memory_owner {
    unsigned char *data = nullptr;
    ~memory_owner() {
        if (data) KTFreeMemory(data);
    }
};

struct cert_info_owner {
    PKT_CERT_INFO_EX info = nullptr;
    ~cert_info_owner() {
        if (info) KTFreeCertificateInfoEx(info);
    }
};

// The owner record returned by a key read, released at once (also after a failure).
struct owner_info_guard {
    PVOID context;
    KT_CERT_OWNER_INFO info{};
    explicit owner_info_guard(PVOID context) : context(context) {}
    ~owner_info_guard() {
        if (info.bFilled) KTCtxFreeCertOwnerInfo(context, &info);
    }
};

DWORD getHashAlgo(uint8_t code) {
    static const DWORD _s_hashAlgoMap[] = {KT_CTX_HASH_ALGO_UNKNOWN, KT_CTX_HASH_ALGO_GOST34311,
                                           KT_CTX_HASH_ALGO_SHA160, KT_CTX_HASH_ALGO_SHA224,
                                           KT_CTX_HASH_ALGO_SHA256};
    return code < sizeof _s_hashAlgoMap / sizeof *_s_hashAlgoMap ? _s_hashAlgoMap[code] : KT_CTX_HASH_ALGO_UNKNOWN;
}

DWORD getSignAlgo(uint8_t code) {
    static const DWORD _s_signAlgoMap[] = {KT_CTX_SIGN_UNKNOWN, KT_CTX_SIGN_DSTU4145_WITH_GOST34311,
                                           KT_CTX_SIGN_RSA_WITH_SHA, KT_CTX_SIGN_ECDSA_WITH_SHA};
    return code < sizeof _s_signAlgoMap / sizeof *_s_signAlgoMap ? _s_signAlgoMap[code] : KT_CTX_SIGN_UNKNOWN;
}

// Copies a library result into the caller's buffer when it fits; *outSize always
// receives the result's size.
void hand_out(const unsigned char *result, DWORD resultSize, unsigned char *out, unsigned long *outSize) {
    if (out && *outSize >= resultSize && resultSize) std::memcpy(out, result, resultSize);
    *outSize = resultSize;
}

class crypto_engine : public engine_like {
public:
    // Takes over the configuration and both handles.
    crypto_engine(engine_conf &source, context_owner &context, private_key_owner &privateKey) {
        conf.appendCert = source.appendCert;
        conf.hashAlgo = source.hashAlgo;
        conf.signAlgo = source.signAlgo;
        conf.keyMedia = std::move(source.keyMedia);
        std::swap(this->context.handle, context.handle);
        std::swap(this->privateKey.handle, privateKey.handle);
    }

    int getSign(const unsigned char *data, unsigned long size, unsigned char *out,
                unsigned long *outSize) override {
        return run("getSign", "KTCtxSignData", kAccessKtError, [&] {
                       memory_owner sign;
                       DWORD signSize = 0;
                       const DWORD status = KTCtxSignData(privateKey.handle, getSignAlgo(conf.signAlgo),
                                                          const_cast<unsigned char *>(data), size, 1,
                                                          conf.appendCert ? 1 : 0, &sign.data, &signSize);
                       if (status == KT_ERROR_NONE) {
                           ZLOG_TRACE("getSign", "done: KTCtxSignData (blob-size:%lu, kt-sign-size:%lu, buffer-size:%lu)",
                                      size, signSize, *outSize);
                           hand_out(sign.data, signSize, out, outSize);
                       }
                       return status;
                   });
    }

    int getHash(const unsigned char *data, unsigned long size, unsigned char *out,
                unsigned long *outSize) override {
        return run("getHash", "KTCtxHashData", kAccessKtError, [&] {
                       memory_owner hash;
                       DWORD hashSize = 0;
                       const DWORD status = KTCtxHashData(context.handle, getHashAlgo(conf.hashAlgo), nullptr, 0,
                                                          const_cast<unsigned char *>(data), size, &hash.data,
                                                          &hashSize);
                       if (status == KT_ERROR_NONE) {
                           ZLOG_TRACE("getHash", "done: KTCtxHashData");
                           const unsigned long textSize = 2 * hashSize;
                           if (out && *outSize >= textSize + 1) {
                               char *text = reinterpret_cast<char *>(out);
                               for (DWORD i = 0; i < hashSize; ++i) std::snprintf(text + 2 * i, 3, "%02x", hash.data[i]);
                               text[textSize] = '\0';
                           }
                           *outSize = textSize;
                       }
                       return status;
                   });
    }

    int getCert(unsigned char *out, unsigned long *outSize) override {
        return run("getCert", "CtxGetOwnCertificate", kAccess, [&] {
                       cert_info_owner info;
                       memory_owner cert;
                       DWORD certSize = 0;
                       const DWORD status =
                           KTCtxGetOwnCertificate(privateKey.handle, KT_CERT_KEY_TYPE_DSTU4145,
                                                  KT_KEY_USAGE_DIGITAL_SIGNATURE, &info.info, &cert.data, &certSize);
                       if (status == KT_ERROR_NONE) {
                           ZLOG_TRACE("getCert", "done: CtxGetOwnCertificate");
                           hand_out(cert.data, certSize, out, outSize);
                       }
                       return status;
                   });
    }

private:
    // The frame every operation shares: trace, refuse after a refusal of access, map
    // the library's status. `callName` and `accessText` name the call in failure lines.
    template <class Call>
    int run(const char *function, const char *callName, const char *accessText, Call call) {
        ZLOG_TRACE(function, "exec: self:%p", static_cast<void *>(this));
        if (accessFailures != 0) {
            ZLOG_FAIL(function, "fail: invalid key-media password  (kterror:KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)");
            return -2;
        }
        const DWORD status = call();
        if (status == KT_ERROR_NONE) return 0;
        if (status == KT_ERROR_KEY_MEDIAS_ACCESS_FAILED) {
            ++accessFailures;
            ZLOG_FAIL(function, "fail: %s (%s)", callName, accessText);
            return -2;
        }
        ZLOG_FAIL(function, "fail: %s (%s)", callName, error_text(status));
        return -1;
    }

    engine_conf conf;
    context_owner context;
    private_key_owner privateKey;  // released before its context
    uint32_t accessFailures = 0;
};

// Finds the medium whose device description is the serial, across every type.
void _T_create_key_context_dev(PVOID context, const dev_keymedia_conf &dev, private_key_owner &privateKey) {
    if (dev.password.size() > KT_PASS_MAX_LENGTH - 1) {
        ZLOG_FAIL("_T_create_key_context_dev", "fail: kS_INVALID_PARAMS (password-size:%zu, max-size:%d)",
                  dev.password.size(), KT_PASS_MAX_LENGTH - 1);
        throw params_error();
    }

    bool found = false;
    DWORD typeIndex = 0, devIndex = 0;
    for (DWORD i = 0; i < KT_KEY_MEDIA_MAX_TYPES && !found; ++i) {
        char typeDescription[KT_KEY_MEDIA_NAME_MAX_LENGTH] = {};
        DWORD status = KTEnumKeyMediaTypes(i, typeDescription);
        if (status == KT_ERROR_NO_MORE_ITEMS) break;
        if (status != KT_ERROR_NONE) {
            ZLOG_FAIL("_T_create_key_context_dev", "fail: KTEnumKeyMediaTypes (%s)", error_text(status));
            throw internal_error();
        }
        for (DWORD j = 0; j < KT_KEY_MEDIA_MAX_DEVICES; ++j) {
            char devDescription[KT_KEY_MEDIA_NAME_MAX_LENGTH] = {};
            status = KTEnumKeyMediaDevices(i, j, devDescription);
            if (status == KT_ERROR_NO_MORE_ITEMS) break;
            if (status != KT_ERROR_NONE) {
                ZLOG_FAIL("_T_create_key_context_dev", "fail: KTEnumKeyMediaDevices (%s)", error_text(status));
                throw internal_error();
            }
            devDescription[sizeof devDescription - 1] = '\0';
            if (dev.serial == devDescription) {
                found = true;
                typeIndex = i;
                devIndex = j;
                break;
            }
        }
    }
    if (!found) {
        ZLOG_FAIL("_T_create_key_context_dev", "fail: find key-media (model:%s, serial:%s)", dev.model.c_str(),
                  dev.serial.c_str());
        throw not_found_error();
    }

    KT_KEY_MEDIA keyMedia;
    std::memset(&keyMedia, 0, sizeof keyMedia);
    keyMedia.dwTypeIndex = typeIndex;
    keyMedia.dwDevIndex = devIndex;
    std::memcpy(keyMedia.szPassword, dev.password.data(), dev.password.size());

    owner_info_guard owner(context);
    const DWORD status = KTCtxReadPrivateKey(context, &keyMedia, &privateKey.handle, &owner.info);
    explicit_bzero(keyMedia.szPassword, sizeof keyMedia.szPassword);
    if (status == KT_ERROR_KEY_MEDIAS_ACCESS_FAILED) {
        ZLOG_FAIL("_T_create_key_context_dev", "fail: KTCtxReadPrivateKey (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)");
        throw deny_error();
    }
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("_T_create_key_context_dev", "fail: KTCtxReadPrivateKey (%s)", error_text(status));
        throw internal_error();
    }
    ZLOG_TRACE("_T_create_key_context_dev", "done: KTCtxReadPrivateKey");
}

void _T_create_key_context_file(PVOID context, const file_keymedia_conf &file, private_key_owner &privateKey) {
    std::string path = file.path, password = file.password;  // the library takes mutable texts
    owner_info_guard owner(context);
    const DWORD status = KTCtxReadPrivateKeyFile(context, &path[0], &password[0], &privateKey.handle, &owner.info);
    if (status == KT_ERROR_KEY_MEDIAS_ACCESS_FAILED) {
        ZLOG_FAIL("_T_create_key_context_file", "fail: KTCtxReadPrivateKeyFile (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)");
        throw deny_error();
    }
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("_T_create_key_context_file", "fail: KTCtxReadPrivateKeyFile (%s)", error_text(status));
        throw internal_error();
    }
    ZLOG_TRACE("_T_create_key_context_file", "done: KTCtxReadPrivateKeyFile");
}

}  // namespace

std::shared_ptr<engine_like> Engine__Create(const char *confPath) {
    ZLOG_TRACE("Engine__Create", "exec");
    if (!confPath) {
        ZLOG_FAIL("Engine__Create", "fail: kS_INVALID_PARAMS");
        throw params_error();
    }
    engine_conf conf;
    if (!Json__UnpackConf(&conf, confPath)) {
        ZLOG_FAIL("Engine__Create", "fail: Json__UnpackConf (conf-path:<%s>)", confPath);
        throw params_error();
    }

    context_owner context;
    const DWORD status = KTCtxCreate(&context.handle);
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("Engine__Create", "fail: KTCtxCreate (%s)", error_text(status));
        throw internal_error();
    }

    // On any throw below, the key (if read) goes before its context.
    private_key_owner privateKey;
    switch (conf.keyMedia.kind()) {
    case keymedia_conf::kDevice:
        _T_create_key_context_dev(context.handle, conf.keyMedia.dev(), privateKey);
        break;
    case keymedia_conf::kFile:
        _T_create_key_context_file(context.handle, conf.keyMedia.file(), privateKey);
        break;
    default:
        ZLOG_FAIL("Engine__Create", "fail: kS_UNSUPPORTED (media-type:%d)", static_cast<int>(conf.keyMedia.kind()));
        throw unsupported_error();
    }

    std::shared_ptr<engine_like> engine = std::make_shared<crypto_engine>(conf, context, privateKey);
    ZLOG_TRACE("Engine__Create", "done");
    return engine;
}

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
