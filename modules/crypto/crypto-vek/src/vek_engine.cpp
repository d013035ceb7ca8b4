#include "vek_engine.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "kt_api.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/kt_media.h"
#include "zarn/support/kt_owners.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {
namespace Crypto {
namespace Vek {

namespace {

constexpr char kAccess[] = "KT_ERROR_KEY_MEDIAS_ACCESS_FAILED";
constexpr char kAccessKtError[] = "kterror:KT_ERROR_KEY_MEDIAS_ACCESS_FAILED";

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
    crypto_engine(std::shared_ptr<const engine_conf> conf, kt_context context, kt_private_key privateKey)
        : conf(std::move(conf)), context(std::move(context)), privateKey(std::move(privateKey)) {}

    int getSign(const unsigned char *data, unsigned long size, unsigned char *out,
                unsigned long *outSize) override {
        return run("getSign", "KTCtxSignData", kAccessKtError, [&] {
                       kt_buffer sign;
                       DWORD signSize = 0;
                       const DWORD status = KTCtxSignData(privateKey.get(), getSignAlgo(conf->signAlgo),
                                                          const_cast<unsigned char *>(data), size, /*bExternal*/ true,
                                                          conf->appendCert, sign.out(), &signSize);
                       if (status == KT_ERROR_NONE) {
                           ZLOG_TRACE("getSign", "done: KTCtxSignData (blob-size:%lu, kt-sign-size:%lu, buffer-size:%lu)",
                                      size, signSize, *outSize);
                           hand_out(sign.get(), signSize, out, outSize);
                       }
                       return status;
                   });
    }

    int getHash(const unsigned char *data, unsigned long size, unsigned char *out,
                unsigned long *outSize) override {
        return run("getHash", "KTCtxHashData", kAccessKtError, [&] {
                       kt_buffer hash;
                       DWORD hashSize = 0;
                       const DWORD status = KTCtxHashData(context.get(), getHashAlgo(conf->hashAlgo), nullptr, 0,
                                                          const_cast<unsigned char *>(data), size, hash.out(),
                                                          &hashSize);
                       if (status == KT_ERROR_NONE) {
                           ZLOG_TRACE("getHash", "done: KTCtxHashData");
                           const unsigned long textSize = 2 * hashSize;
                           if (out && *outSize >= textSize + 1) {
                               char *text = reinterpret_cast<char *>(out);
                               for (DWORD i = 0; i < hashSize; ++i) std::snprintf(text + 2 * i, 3, "%02x", hash.get()[i]);
                               text[textSize] = '\0';
                           }
                           *outSize = textSize;
                       }
                       return status;
                   });
    }

    int getCert(unsigned char *out, unsigned long *outSize) override {
        return run("getCert", "CtxGetOwnCertificate", kAccess, [&] {
                       // Declared so that the description goes first, then the certificate.
                       kt_buffer cert;
                       kt_cert_info info;
                       DWORD certSize = 0;
                       const DWORD status =
                           KTCtxGetOwnCertificate(privateKey.get(), KT_CERT_KEY_TYPE_DSTU4145,
                                                  KT_KEY_USAGE_DIGITAL_SIGNATURE, info.out(), cert.out(), &certSize);
                       if (status == KT_ERROR_NONE) {
                           ZLOG_TRACE("getCert", "done: CtxGetOwnCertificate");
                           hand_out(cert.get(), certSize, out, outSize);
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
        ZLOG_FAIL(function, "fail: %s (%s)", callName, kt_error_text(status));
        return -1;
    }

    std::shared_ptr<const engine_conf> conf;
    kt_context context;
    kt_private_key privateKey;  // released before its context
    uint32_t accessFailures = 0;
};

// Reads a key through `context` with read(privateKeyOut, ownerRecordOut): a refused
// password is deny_error, another failure internal_error; after a successful read the
// owner record goes at once. `call` names the library function in log lines.
template <class Read>
kt_private_key _T_read_key(const char *function, const char *call, PVOID context, Read read) {
    kt_private_key privateKey;
    kt_cert_owner_info owner;
    const DWORD status = read(privateKey.out(), owner.out());
    if (status == KT_ERROR_KEY_MEDIAS_ACCESS_FAILED) {
        ZLOG_FAIL(function, "fail: %s (KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)", call);
        throw deny_error();
    }
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL(function, "fail: %s (%s)", call, kt_error_text(status));
        throw internal_error();
    }
    owner.adopt(context);
    owner.reset();
    ZLOG_TRACE(function, "done: %s", call);
    return privateKey;
}

// Finds the medium whose device description is the serial, across every type.
kt_private_key _T_create_key_context_dev(PVOID context, const dev_keymedia_conf &dev) {
    if (dev.password.size() > KT_PASS_MAX_LENGTH - 1) {
        ZLOG_FAIL("_T_create_key_context_dev", "fail: kS_INVALID_PARAMS (password-size:%zu, max-size:%d)",
                  dev.password.size(), KT_PASS_MAX_LENGTH - 1);
        throw params_error();
    }

    KT_KEY_MEDIA keyMedia;
    std::memset(&keyMedia, 0, sizeof keyMedia);
    const bool found = kt_walk_media(
        [](DWORD, char *) { return true; },
        [&](DWORD typeIndex, DWORD devIndex, const char *description) {
            if (dev.serial != description) return false;
            keyMedia.dwTypeIndex = typeIndex;
            keyMedia.dwDevIndex = devIndex;
            return true;
        },
        [](const kt_media_failure &failure) {
            ZLOG_FAIL("_T_create_key_context_dev", "fail: %s (%s)",
                      failure.onDevice ? "KTEnumKeyMediaDevices" : "KTEnumKeyMediaTypes", kt_error_text(failure.status));
        });
    if (!found) {
        ZLOG_FAIL("_T_create_key_context_dev", "fail: find key-media (model:%s, serial:%s)", dev.model.c_str(),
                  dev.serial.c_str());
        throw not_found_error();
    }
    std::memcpy(keyMedia.szPassword, dev.password.data(), dev.password.size());

    return _T_read_key("_T_create_key_context_dev", "KTCtxReadPrivateKey", context,
                       [&](PVOID *privateKey, PKT_CERT_OWNER_INFO owner) {
                           const DWORD status = KTCtxReadPrivateKey(context, &keyMedia, privateKey, owner);
                           explicit_bzero(keyMedia.szPassword, sizeof keyMedia.szPassword);
                           return status;
                       });
}

kt_private_key _T_create_key_context_file(PVOID context, const file_keymedia_conf &file) {
    std::string path = file.path;  // the library takes mutable texts
    secret_string password = file.password;
    return _T_read_key("_T_create_key_context_file", "KTCtxReadPrivateKeyFile", context,
                       [&](PVOID *privateKey, PKT_CERT_OWNER_INFO owner) {
                           return KTCtxReadPrivateKeyFile(context, &path[0], password.data(), privateKey, owner);
                       });
}

}  // namespace

std::shared_ptr<const engine_conf> Engine__ReadConf(const char *confPath) {
    if (!confPath) {
        ZLOG_FAIL(__func__, "fail: kS_INVALID_PARAMS");
        return nullptr;
    }
    auto conf = std::make_shared<engine_conf>();
    if (!Json__UnpackConf(conf.get(), confPath)) {
        ZLOG_FAIL(__func__, "fail: Json__UnpackConf (conf-path:<%s>)", confPath);
        return nullptr;
    }
    return conf;
}

std::shared_ptr<engine_like> Engine__Create(std::shared_ptr<const engine_conf> conf) {
    ZLOG_TRACE("Engine__Create", "exec");
    if (!conf) {
        ZLOG_FAIL("Engine__Create", "fail: kS_INVALID_PARAMS (unusable configuration)");
        throw params_error();
    }

    kt_context context;
    const DWORD status = KTCtxCreate(context.out());
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("Engine__Create", "fail: KTCtxCreate (%s)", kt_error_text(status));
        throw internal_error();
    }

    kt_private_key privateKey;
    switch (conf->keyMedia.kind()) {
    case keymedia_conf::kDevice:
        privateKey = _T_create_key_context_dev(context.get(), conf->keyMedia.dev());
        break;
    case keymedia_conf::kFile:
        privateKey = _T_create_key_context_file(context.get(), conf->keyMedia.file());
        break;
    default:
        ZLOG_FAIL("Engine__Create", "fail: kS_UNSUPPORTED (media-type:%d)", static_cast<int>(conf->keyMedia.kind()));
        throw unsupported_error();
    }

    std::shared_ptr<engine_like> engine =
        std::make_shared<crypto_engine>(std::move(conf), std::move(context), std::move(privateKey));
    ZLOG_TRACE("Engine__Create", "done");
    return engine;
}

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
