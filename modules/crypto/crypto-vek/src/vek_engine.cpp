#include "vek_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "kt_api.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/fd_holder.h"
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

}  // namespace

class engine_source {
public:
    // Why no engine of the source can work any more.
    enum verdict_kind : int { kWorking, kUnusable, kRefused, kKeyChanged };
    struct verdict_row {
        int status;
        const char *line;
    };

    // `folder`: the folder a relative key-file path counts from, held by the source; none
    // for the working folder.
    engine_source(std::shared_ptr<const engine_conf> conf, fd_holder folder)
        : conf(std::move(conf)), folder(std::move(folder)), kind(this->conf ? kWorking : kUnusable) {}

    // Where a relative key-file path is opened.
    int keyFolder() const { return folder.get() >= 0 ? folder.get() : AT_FDCWD; }

    const verdict_row &verdict() const {
        // By verdict_kind.
        static constexpr verdict_row kVerdicts[] = {
            {0, ""},
            {-1, "fail: kS_INVALID_PARAMS (unusable configuration)"},
            {-2, "fail: invalid key-media password  (kterror:KT_ERROR_KEY_MEDIAS_ACCESS_FAILED)"},
            {-1, "fail: kS_FAIL (another key than at its first reading)"},
        };
        return kVerdicts[kind.load(std::memory_order_acquire)];
    }
    // The first verdict other than kWorking stays.
    void settle(verdict_kind verdict) {
        int working = kWorking;
        kind.compare_exchange_strong(working, verdict, std::memory_order_acq_rel);
    }

    const std::shared_ptr<const engine_conf> conf;  // null: unusable
    const fd_holder folder;                         // held from Open: a relative key file is read in it
    std::mutex making;                              // engines are made one at a time
    secret_string keyFile;                          // the key file's bytes, once a key was read from them
    std::string certificate;                        // of the first key read; both under `making`

private:
    std::atomic<int> kind;
};

namespace {

// Throws what the source's verdict stands for, logging it under `function`; nothing
// while it is 0.
void _T_throw_verdict(const engine_source &source, const char *function) {
    const int status = Engine__Verdict(source, function);
    if (status == -2) throw deny_error();
    if (status != 0) throw params_error();
}

class crypto_engine : public engine_like {
public:
    crypto_engine(std::shared_ptr<engine_source> source, kt_context context, kt_private_key privateKey)
        : source(std::move(source)), conf(*this->source->conf), context(std::move(context)),
          privateKey(std::move(privateKey)) {}

    int getSign(const unsigned char *data, unsigned long size, unsigned char *out,
                unsigned long *outSize) override {
        return run("getSign", "KTCtxSignData", kAccessKtError, [&] {
                       kt_buffer sign;
                       DWORD signSize = 0;
                       const DWORD status = KTCtxSignData(privateKey.get(), getSignAlgo(conf.signAlgo),
                                                          const_cast<unsigned char *>(data), size, /*bExternal*/ true,
                                                          conf.appendCert, sign.out(), &signSize);
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
                       const DWORD status = KTCtxHashData(context.get(), getHashAlgo(conf.hashAlgo), nullptr, 0,
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
    // The frame every operation shares: trace, answer the source's verdict without
    // asking the library, map the library's status; a refusal of access settles the
    // verdict for every engine of the source. `callName` and `accessText` name the call
    // in failure lines.
    template <class Call>
    int run(const char *function, const char *callName, const char *accessText, Call call) {
        ZLOG_TRACE(function, "exec: self:%p", static_cast<void *>(this));
        if (const int verdict = Engine__Verdict(*source, function)) return verdict;
        const DWORD status = call();
        if (status == KT_ERROR_NONE) return 0;
        if (status == KT_ERROR_KEY_MEDIAS_ACCESS_FAILED) {
            source->settle(engine_source::kRefused);
            ZLOG_FAIL(function, "fail: %s (%s)", callName, accessText);
            return -2;
        }
        ZLOG_FAIL(function, "fail: %s (%s)", callName, kt_error_text(status));
        return -1;
    }

    const std::shared_ptr<engine_source> source;
    const engine_conf &conf;  // the source's
    kt_context context;
    kt_private_key privateKey;  // released before its context
};

// Reads a key through `context` with read(privateKeyOut, ownerRecordOut): a refused
// password settles the source's verdict and is deny_error, another failure
// internal_error; after a successful read the owner record goes at once. `call` names
// the library function in log lines.
template <class Read>
kt_private_key _T_read_key(const char *function, const char *call, PVOID context, engine_source &source, Read read) {
    kt_private_key privateKey;
    kt_cert_owner_info owner;
    const DWORD status = read(privateKey.out(), owner.out());
    if (status == KT_ERROR_KEY_MEDIAS_ACCESS_FAILED) {
        source.settle(engine_source::kRefused);
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
kt_private_key _T_create_key_context_dev(PVOID context, const dev_keymedia_conf &dev, engine_source &source) {
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
        ZLOG_FAIL("_T_create_key_context_dev", "fail: find key-media (no medium has the key-serial)");
        throw not_found_error();
    }
    // A longer password was refused when the configuration was read.
    std::memcpy(keyMedia.szPassword, dev.password.data(),
                std::min(dev.password.size(), sizeof keyMedia.szPassword - 1));

    return _T_read_key("_T_create_key_context_dev", "KTCtxReadPrivateKey", context, source,
                       [&](PVOID *privateKey, PKT_CERT_OWNER_INFO owner) {
                           const DWORD status = KTCtxReadPrivateKey(context, &keyMedia, privateKey, owner);
                           explicit_bzero(keyMedia.szPassword, sizeof keyMedia.szPassword);
                           return status;
                       });
}

// Reads the key file once, a relative path in the folder held since Open: every later
// engine of the source reads its key from the bytes of the first successful reading,
// whatever the file holds by then. A file too large to be a key settles the verdict.
kt_private_key _T_create_key_context_file(PVOID context, const file_keymedia_conf &file, engine_source &source) {
    secret_string bytes = source.keyFile;
    if (bytes.empty()) {
        switch (File__ReadAll("_T_create_key_context_file", source.keyFolder(), file.path.c_str(), "key-sign", &bytes)) {
        case file_read::ok:
            break;
        case file_read::too_large:
            source.settle(engine_source::kUnusable);
            _T_throw_verdict(source, "_T_create_key_context_file");
            break;
        case file_read::failed:
            throw internal_error();
        }
    }
    secret_string password = file.password;  // the library takes mutable texts
    kt_private_key privateKey = _T_read_key(
        "_T_create_key_context_file", "KTCtxReadPrivateKeyBinary", context, source,
        [&](PVOID *key, PKT_CERT_OWNER_INFO owner) {
            return KTCtxReadPrivateKeyBinary(context, reinterpret_cast<unsigned char *>(bytes.data()),
                                             static_cast<DWORD>(bytes.size()), password.data(), key, owner);
        });
    if (source.keyFile.empty()) source.keyFile = std::move(bytes);
    return privateKey;
}

// The key just read must be the one of the source's first reading, which its certificate
// names: the first one is kept, another one settles the verdict. Failures are thrown.
void _T_check_same_key(PVOID privateKey, engine_source &source) {
    kt_buffer cert;
    kt_cert_info info;
    DWORD certSize = 0;
    const DWORD status = KTCtxGetOwnCertificate(privateKey, KT_CERT_KEY_TYPE_DSTU4145, KT_KEY_USAGE_DIGITAL_SIGNATURE,
                                                info.out(), cert.out(), &certSize);
    if (status == KT_ERROR_KEY_MEDIAS_ACCESS_FAILED) {
        source.settle(engine_source::kRefused);
        ZLOG_FAIL("_T_check_same_key", "fail: CtxGetOwnCertificate (%s)", kAccess);
        throw deny_error();
    }
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("_T_check_same_key", "fail: CtxGetOwnCertificate (%s)", kt_error_text(status));
        throw internal_error();
    }
    const std::string certificate(reinterpret_cast<const char *>(cert.get()), certSize);
    if (source.certificate.empty()) {
        source.certificate = certificate;
    } else if (certificate != source.certificate) {
        source.settle(engine_source::kKeyChanged);
        _T_throw_verdict(source, "_T_check_same_key");
    }
}

// A key medium's password must fit its record. A key file's path must be one the system
// can open, and the file no larger than a key file may be; a relative path counts from
// the working folder now, which *folder receives open. False, logged, when the key
// location cannot be used. No line names a value.
bool _T_fix_key_location(const keymedia_conf &keyMedia, fd_holder *folder) {
    if (keyMedia.kind() == keymedia_conf::kDevice) {
        if (keyMedia.dev().password.size() <= KT_PASS_MAX_LENGTH - 1) return true;
        ZLOG_FAIL("_T_fix_key_location", "fail: kS_INVALID_PARAMS (key-sign-pass longer than %d bytes)",
                  KT_PASS_MAX_LENGTH - 1);
        return false;
    }
    if (keyMedia.kind() != keymedia_conf::kFile) return true;
    const std::string &path = keyMedia.file().path;
    if (path.size() >= PATH_MAX) {
        ZLOG_FAIL("_T_fix_key_location", "fail: kS_INVALID_PARAMS (key-sign longer than PATH_MAX)");
        return false;
    }
    if (path[0] != '/') {
        folder->reset(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (folder->get() < 0) {
            ZLOG_FAIL("_T_fix_key_location", "fail: open <.> (errno:%s)", std::strerror(errno));
            return false;
        }
    }
    // One that is there already and too large fails now; one that comes later, when read.
    struct stat st;
    if (fstatat(folder->get() >= 0 ? folder->get() : AT_FDCWD, path.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode) && st.st_size > kMaxFileSize) {
        ZLOG_FAIL("_T_fix_key_location", "fail: fread <key-sign> (%s)", std::strerror(EFBIG));
        return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<engine_source> Engine__ReadSource(const char *confPath) {
    auto conf = std::make_shared<engine_conf>();
    bool usable = false;
    fd_holder folder;
    if (!confPath)
        ZLOG_FAIL(__func__, "fail: kS_INVALID_PARAMS");
    else if (!Json__UnpackConf(conf.get(), confPath))
        ZLOG_FAIL(__func__, "fail: Json__UnpackConf (conf-path:<%s>)", confPath);
    else
        usable = _T_fix_key_location(conf->keyMedia, &folder);
    if (!usable) folder.reset();
    return std::make_shared<engine_source>(usable ? std::move(conf) : nullptr, std::move(folder));
}

int Engine__Verdict(const engine_source &source, const char *function) {
    const engine_source::verdict_row &verdict = source.verdict();
    if (verdict.status != 0 && function) ZLOG_FAIL(function, "%s", verdict.line);
    return verdict.status;
}

std::shared_ptr<engine_like> Engine__Create(const std::shared_ptr<engine_source> &source) {
    ZLOG_TRACE("Engine__Create", "exec");
    if (!source) {
        ZLOG_FAIL("Engine__Create", "fail: kS_INVALID_PARAMS");
        throw params_error();
    }
    std::lock_guard<std::mutex> making(source->making);
    _T_throw_verdict(*source, "Engine__Create");

    kt_context context;
    const DWORD status = KTCtxCreate(context.out());
    if (status != KT_ERROR_NONE) {
        ZLOG_FAIL("Engine__Create", "fail: KTCtxCreate (%s)", kt_error_text(status));
        throw internal_error();
    }

    const keymedia_conf &keyMedia = source->conf->keyMedia;
    kt_private_key privateKey;
    switch (keyMedia.kind()) {
    case keymedia_conf::kDevice:
        privateKey = _T_create_key_context_dev(context.get(), keyMedia.dev(), *source);
        break;
    case keymedia_conf::kFile:
        privateKey = _T_create_key_context_file(context.get(), keyMedia.file(), *source);
        break;
    default:
        ZLOG_FAIL("Engine__Create", "fail: kS_UNSUPPORTED (media-type:%d)", static_cast<int>(keyMedia.kind()));
        throw unsupported_error();
    }
    _T_check_same_key(privateKey.get(), *source);

    std::shared_ptr<engine_like> engine =
        std::make_shared<crypto_engine>(source, std::move(context), std::move(privateKey));
    ZLOG_TRACE("Engine__Create", "done");
    return engine;
}

}  // namespace Vek
}  // namespace Crypto
}  // namespace Support
}  // namespace Zarn
