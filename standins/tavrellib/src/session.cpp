#include "session.h"

#include <openssl/x509.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "call_record.h"
#include "library.h"
#include "sealing.h"
#include "sign_support.h"

namespace tavrel_standin {
namespace {

enum message_kind : uint32_t { client_hello = 1, server_hello = 2, client_finish = 3, dynamic_hello = 4 };
enum class role : uint32_t { client = 1, server = 2 };
enum class stage { awaiting_server_hello, awaiting_client_finish, established };

const unsigned char saved_magic[8] = {'V', 'E', 'K', 'S', 'E', 'S', '1', 0};
constexpr size_t nonce_size = 32;
const std::string keys_label = "vek session keys";
const bytes data_label = {'v', 'e', 'k', ' ', 'd', 'a', 't', 'a'};

struct session {
    std::mutex lock;
    role side = role::client;
    stage state = stage::awaiting_server_hello;
    DWORD expire_time = 0;  // kept and saved; the stand-in's sessions do not expire
    material_ptr own;       // the key this side signs with; null for a dynamic client
    pkey_ptr one_time;      // until established
    bytes nonce, transcript;
    x509_ptr peer;          // null when the peer has no certificate (a dynamic client)
    bytes send_key, receive_key;
};

struct session_registry {
    std::mutex lock;
    std::map<void *, std::shared_ptr<session>> sessions;
};

session_registry &registry() {
    static session_registry instance;
    return instance;
}

// The session behind a handle; null for a stale, destroyed or foreign handle.
std::shared_ptr<session> find_session(void *handle) {
    session_registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.sessions.find(handle);
    return it == r.sessions.end() ? nullptr : it->second;
}

// Hands a new session out through `out` (argument `index`), unless the test controls ask
// for no handle.
void hand_out(const char *function, unsigned index, std::shared_ptr<session> made, PVOID *out) {
    if (null_output_requested(function, index)) {
        *out = nullptr;
        return;
    }
    session_registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    void *handle = made.get();
    r.sessions.emplace(handle, std::move(made));
    *out = handle;
}

void free_session(void *handle) noexcept {
    std::shared_ptr<session> gone;
    session_registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.sessions.find(handle);
    if (it == r.sessions.end()) return;
    gone = std::move(it->second);
    r.sessions.erase(it);
}

void append(bytes &to, const bytes &more) { to.insert(to.end(), more.begin(), more.end()); }

// Both directions' keys from the agreed secret; the client sends with the first.
void derive_keys(session &s, const EVP_PKEY *own, const EVP_PKEY *peer, const bytes &salt) {
    bytes keys = agree(own, peer, salt, keys_label, 2 * aes_key_size);
    bytes first(keys.begin(), keys.begin() + aes_key_size), second(keys.begin() + aes_key_size, keys.end());
    s.send_key = s.side == role::client ? first : second;
    s.receive_key = s.side == role::client ? second : first;
    OPENSSL_cleanse(keys.data(), keys.size());
    s.one_time.reset();
    s.state = stage::established;
}

// A message's kind and the reader of its fields; false for another kind.
bool read_kind(const unsigned char *data, DWORD size, uint32_t expected, field_reader *reader) {
    if (!data) return false;
    *reader = field_reader(data, size);
    uint32_t kind = 0;
    return reader->number(&kind) && kind == expected;
}

bool read_certificate(field_reader &r, x509_ptr *certificate) {
    bytes der;
    return r.blob(&der) && (*certificate = certificate_from_der(der.data(), der.size())) != nullptr;
}

// Runs `body` on the live session behind `handle` under its lock; 2 for no such session.
template <class Body>
DWORD with_session(void *handle, Body &&body) {
    std::shared_ptr<session> s = find_session(handle);
    if (!s) return KT_ERROR_BAD_PARAMETER;
    std::lock_guard<std::mutex> guard(s->lock);
    return guarded([&]() -> DWORD { return body(*s); });
}

bool certificate_current(const X509 *certificate) {
    return X509_cmp_current_time(X509_get0_notBefore(certificate)) < 0 &&
           X509_cmp_current_time(X509_get0_notAfter(certificate)) > 0;
}

void fill_cert_info(KT_CERT_INFO *info, const X509 *certificate) {
    certificate_texts t = describe_certificate(certificate);
    KT_CERT_INFO filled{};
    record_texts texts;
    set_certificate_fields(filled, t, texts);
    filled.dwVersion = 1;
    filled.bSubjType = 4;  // KT_SUBJECT_TYPE_END_USER
    commit_record(info, filled, texts);
}

bytes saved_form(const session &s) {
    field_writer w;
    w.number(uint32_t(s.side)).number(uint32_t(s.expire_time)).blob(s.send_key).blob(s.receive_key);
    w.blob(s.peer ? certificate_der(s.peer.get()) : bytes());
    bytes out(saved_magic, saved_magic + sizeof saved_magic);
    append(out, w.data());
    return out;
}

std::shared_ptr<session> session_from_saved(const unsigned char *data, DWORD size) {
    if (!data || size < sizeof saved_magic || std::memcmp(data, saved_magic, sizeof saved_magic) != 0) return nullptr;
    field_reader r(data + sizeof saved_magic, size - sizeof saved_magic);
    auto s = std::make_shared<session>();
    uint32_t side = 0, expire = 0;
    bytes peer;
    if (!r.number(&side) || !r.number(&expire) || !r.blob(&s->send_key) || !r.blob(&s->receive_key) ||
        !r.blob(&peer) || !r.at_end())
        return nullptr;
    if ((side != uint32_t(role::client) && side != uint32_t(role::server)) || s->send_key.size() != aes_key_size ||
        s->receive_key.size() != aes_key_size)
        return nullptr;
    if (!peer.empty() && !(s->peer = certificate_from_der(peer.data(), peer.size()))) return nullptr;
    s->side = role(side);
    s->expire_time = expire;
    s->state = stage::established;
    return s;
}

// Encryption and decryption: `data_index` names the output argument.
DWORD transform(const char *function, void *handle, bool encrypt, const unsigned char *data, DWORD size,
                unsigned char **out, DWORD *length) {
    if ((!data && size) || !length) return KT_ERROR_BAD_PARAMETER;
    return with_session(handle, [&](session &s) -> DWORD {
        if (s.state != stage::established) return KT_ERROR_BAD_PARAMETER;
        bytes result;
        if (encrypt) result = seal(s.send_key, data_label, data, size);
        else if (!open_sealed(s.receive_key, data_label, bytes(data, data + size), &result))
            return TAVREL_STANDIN_ERROR_CRYPTO;
        output_batch outputs(function);
        outputs.buffer(3, result, out, length);
        return outputs.commit();
    });
}

}  // namespace

DWORD server_dynamic_key_session(const char *function, unsigned session_index, const material_ptr &own,
                                 DWORD expire_time, const unsigned char *hello, DWORD size, PVOID *session_out) {
    if (!own) return TAVREL_STANDIN_ERROR_NO_KEY;
    field_reader r(nullptr, 0);
    bytes client_key, nonce;
    std::string issuer, serial;
    if (!read_kind(hello, size, dynamic_hello, &r) || !r.blob(&client_key) || !r.blob(&nonce) || !r.blob(&issuer) ||
        !r.blob(&serial) || !r.at_end())
        return TAVREL_STANDIN_ERROR_CRYPTO;
    pkey_ptr peer = public_key_from_der(client_key);
    if (!peer) return TAVREL_STANDIN_ERROR_CRYPTO;
    certificate_texts mine = describe_certificate(own->certificate.get());
    if (mine.issuer != issuer || mine.serial != serial) return TAVREL_STANDIN_ERROR_CERT_NOT_FOUND;
    auto s = std::make_shared<session>();
    s->side = role::server;
    s->expire_time = expire_time;
    s->own = own;
    derive_keys(*s, own->key.get(), peer.get(), nonce);
    hand_out(function, session_index, std::move(s), session_out);
    return 0;
}

unsigned long live_sessions() noexcept {
    session_registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.sessions.size();
}

}  // namespace tavrel_standin

using namespace tavrel_standin;

// A function that hands out through lambdas names itself in `function`: there __func__
// would name the lambda.
extern "C" {

void KTSessionDestroy(PVOID pvSession) {
    const char *const function = __func__;
    call_record(__func__).pointer(pvSession);
    note_call(function);
    free_session(pvSession);
}

DWORD KTClientSessionCreateStep1(DWORD dwExpireTime, PVOID *ppvClientSession, unsigned char **ppbClientData,
                                 DWORD *pdwClientDataLength) {
    const char *const function = __func__;
    call_record(__func__).number(dwExpireTime).pointer(ppvClientSession).pointer(ppbClientData)
        .pointer(pdwClientDataLength);
    STANDIN_ENTER();
    if (!ppvClientSession || !pdwClientDataLength) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        auto s = std::make_shared<session>();
        if (DWORD status = current_key(&s->own)) return status;
        s->expire_time = dwExpireTime;
        s->one_time = new_agreement_key();
        s->nonce = random_bytes(nonce_size);
        field_writer hello;
        hello.number(client_hello).blob(public_key_der(s->one_time.get())).blob(s->nonce);
        hello.blob(certificate_der(s->own->certificate.get()));
        s->transcript = hello.data();
        output_batch outputs(function);
        outputs.buffer(2, hello.data(), ppbClientData, pdwClientDataLength);
        hand_out(function, 1, std::move(s), ppvClientSession);
        return outputs.commit();
    });
}

DWORD KTServerSessionCreateStep1(DWORD dwExpireTime, unsigned char *pbClientData, DWORD dwClientDataLength,
                                 PVOID *ppvServerSession, unsigned char **ppbServerData, DWORD *pdwServerDataLength) {
    const char *const function = __func__;
    call_record(__func__).number(dwExpireTime).bytes(pbClientData, dwClientDataLength).number(dwClientDataLength)
        .pointer(ppvServerSession).pointer(ppbServerData).pointer(pdwServerDataLength);
    STANDIN_ENTER();
    if (!ppvServerSession || !pdwServerDataLength) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        auto s = std::make_shared<session>();
        s->side = role::server;
        s->expire_time = dwExpireTime;
        if (DWORD status = current_key(&s->own)) return status;
        field_reader r(nullptr, 0);
        bytes client_key, client_nonce;
        if (!read_kind(pbClientData, dwClientDataLength, client_hello, &r) || !r.blob(&client_key) ||
            !r.blob(&client_nonce) || !read_certificate(r, &s->peer) || !r.at_end())
            return TAVREL_STANDIN_ERROR_CRYPTO;
        pkey_ptr peer_key = public_key_from_der(client_key);
        if (!peer_key || client_nonce.size() != nonce_size) return TAVREL_STANDIN_ERROR_CRYPTO;

        s->one_time = new_agreement_key();
        s->nonce = random_bytes(nonce_size);
        field_writer reply;
        reply.number(server_hello).blob(public_key_der(s->one_time.get())).blob(s->nonce);
        reply.blob(certificate_der(s->own->certificate.get()));
        s->transcript.assign(pbClientData, pbClientData + dwClientDataLength);
        append(s->transcript, reply.data());
        reply.blob(sign_digest(s->own->key.get(), s->transcript));

        bytes salt = client_nonce;
        append(salt, s->nonce);
        pkey_ptr one_time = std::move(s->one_time);
        derive_keys(*s, one_time.get(), peer_key.get(), salt);
        s->state = stage::awaiting_client_finish;  // keys are ready; the client still has to prove its key

        output_batch outputs(function);
        outputs.buffer(4, reply.data(), ppbServerData, pdwServerDataLength);
        hand_out(function, 3, std::move(s), ppvServerSession);
        return outputs.commit();
    });
}

DWORD KTClientSessionCreateStep2(PVOID pvClientSession, unsigned char *pbServerData, DWORD dwServerDataLength,
                                 unsigned char **ppbClientData, DWORD *pdwClientDataLength) {
    const char *const function = __func__;
    call_record(__func__).pointer(pvClientSession).bytes(pbServerData, dwServerDataLength)
        .number(dwServerDataLength).pointer(ppbClientData).pointer(pdwClientDataLength);
    STANDIN_ENTER();
    if (!pdwClientDataLength) return KT_ERROR_BAD_PARAMETER;
    return with_session(pvClientSession, [&](session &s) -> DWORD {
        if (s.side != role::client || s.state != stage::awaiting_server_hello) return KT_ERROR_BAD_PARAMETER;
        field_reader r(nullptr, 0);
        bytes server_key, server_nonce, signature;
        x509_ptr server;
        if (!read_kind(pbServerData, dwServerDataLength, server_hello, &r) || !r.blob(&server_key) ||
            !r.blob(&server_nonce) || !read_certificate(r, &server))
            return TAVREL_STANDIN_ERROR_CRYPTO;
        size_t signed_size = r.offset_from(pbServerData);
        if (!r.blob(&signature) || !r.at_end()) return TAVREL_STANDIN_ERROR_CRYPTO;
        pkey_ptr peer_key = public_key_from_der(server_key);
        if (!peer_key) return TAVREL_STANDIN_ERROR_CRYPTO;
        bytes transcript = s.transcript;
        transcript.insert(transcript.end(), pbServerData, pbServerData + signed_size);
        if (!verify_digest(server.get(), transcript, signature)) return TAVREL_STANDIN_ERROR_VERIFY;

        field_writer finish;
        finish.number(client_finish).blob(sign_digest(s.own->key.get(), transcript));
        output_batch outputs(function);
        outputs.buffer(3, finish.data(), ppbClientData, pdwClientDataLength);
        bytes salt = s.nonce;
        append(salt, server_nonce);
        s.peer = std::move(server);
        derive_keys(s, s.one_time.get(), peer_key.get(), salt);
        s.transcript.clear();
        return outputs.commit();
    });
}

DWORD KTServerSessionCreateStep2(PVOID pvServerSession, unsigned char *pbClientData, DWORD dwClientDataLength) {
    call_record(__func__).pointer(pvServerSession).bytes(pbClientData, dwClientDataLength).number(dwClientDataLength);
    STANDIN_ENTER();
    return with_session(pvServerSession, [&](session &s) -> DWORD {
        if (s.side != role::server || s.state != stage::awaiting_client_finish) return KT_ERROR_BAD_PARAMETER;
        field_reader r(nullptr, 0);
        bytes signature;
        if (!read_kind(pbClientData, dwClientDataLength, client_finish, &r) || !r.blob(&signature) || !r.at_end())
            return TAVREL_STANDIN_ERROR_CRYPTO;
        if (!verify_digest(s.peer.get(), s.transcript, signature)) return TAVREL_STANDIN_ERROR_VERIFY;
        s.transcript.clear();
        s.state = stage::established;
        return 0;
    });
}

BOOL KTSessionIsInitialized(PVOID pvSession) {
    const char *const function = __func__;
    call_record(__func__).pointer(pvSession);
    note_call(function);
    std::shared_ptr<session> s = find_session(pvSession);
    if (!s) return 0;
    std::lock_guard<std::mutex> guard(s->lock);
    return s->state == stage::established ? 1 : 0;
}

DWORD KTSessionSave(PVOID pvSession, unsigned char **ppbSessionData, DWORD *pdwSessionDataLength) {
    const char *const function = __func__;
    call_record(__func__).pointer(pvSession).pointer(ppbSessionData).pointer(pdwSessionDataLength);
    STANDIN_ENTER();
    if (!pdwSessionDataLength) return KT_ERROR_BAD_PARAMETER;
    return with_session(pvSession, [&](session &s) -> DWORD {
        if (s.state != stage::established) return KT_ERROR_BAD_PARAMETER;
        output_batch outputs(function);
        outputs.buffer(1, saved_form(s), ppbSessionData, pdwSessionDataLength);
        return outputs.commit();
    });
}

DWORD KTSessionLoad(unsigned char *pbSessionData, DWORD dwSessionDataLength, PVOID *ppvSession) {
    const char *const function = __func__;
    call_record(__func__).bytes(pbSessionData, dwSessionDataLength).number(dwSessionDataLength).pointer(ppvSession);
    STANDIN_ENTER();
    if (!ppvSession) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        std::shared_ptr<session> s = session_from_saved(pbSessionData, dwSessionDataLength);
        if (!s) return TAVREL_STANDIN_ERROR_CRYPTO;
        hand_out(function, 2, std::move(s), ppvSession);
        return 0;
    });
}

DWORD KTSessionCheckCertificates(PVOID pvSession) {
    call_record(__func__).pointer(pvSession);
    STANDIN_ENTER();
    return with_session(pvSession, [&](session &s) -> DWORD {
        if (s.state != stage::established) return KT_ERROR_BAD_PARAMETER;
        if (!s.peer) return TAVREL_STANDIN_ERROR_CERT_NOT_FOUND;
        return certificate_current(s.peer.get()) ? 0 : TAVREL_STANDIN_ERROR_VERIFY;
    });
}

DWORD KTSessionEncrypt(PVOID pvSession, unsigned char *pbData, DWORD dwDataLength, unsigned char **ppbEncryptedData,
                       DWORD *pdwEncryptedDataLength) {
    const char *const function = __func__;
    call_record(__func__).pointer(pvSession).bytes(pbData, dwDataLength).number(dwDataLength)
        .pointer(ppbEncryptedData).pointer(pdwEncryptedDataLength);
    STANDIN_ENTER();
    return transform(function, pvSession, true, pbData, dwDataLength, ppbEncryptedData, pdwEncryptedDataLength);
}

DWORD KTSessionDecrypt(PVOID pvSession, unsigned char *pbEncryptedData, DWORD dwEncryptedDataLength,
                       unsigned char **ppbData, DWORD *pdwDataLength) {
    const char *const function = __func__;
    call_record(__func__).pointer(pvSession).bytes(pbEncryptedData, dwEncryptedDataLength)
        .number(dwEncryptedDataLength).pointer(ppbData).pointer(pdwDataLength);
    STANDIN_ENTER();
    return transform(function, pvSession, false, pbEncryptedData, dwEncryptedDataLength, ppbData, pdwDataLength);
}

DWORD KTSessionGetPeerCertificateInfo(PVOID pvSession, PKT_CERT_INFO pCertInfo) {
    call_record(__func__).pointer(pvSession).pointer(pCertInfo);
    STANDIN_ENTER();
    if (!pCertInfo) return KT_ERROR_BAD_PARAMETER;
    return with_session(pvSession, [&](session &s) -> DWORD {
        if (s.state != stage::established) return KT_ERROR_BAD_PARAMETER;
        if (!s.peer) return TAVREL_STANDIN_ERROR_CERT_NOT_FOUND;
        fill_cert_info(pCertInfo, s.peer.get());
        return 0;
    });
}

DWORD KTClientDynamicKeySessionCreate(DWORD dwExpireTime, char *pszServerCertIssuer, char *pszServerCertSerial,
                                      unsigned char *pbServerCert, DWORD dwServerCertLength, PVOID *ppvClientSession,
                                      unsigned char **ppbClientData, DWORD *pdwClientDataLength) {
    const char *const function = __func__;
    call_record(__func__).number(dwExpireTime).text(pszServerCertIssuer).text(pszServerCertSerial)
        .bytes(pbServerCert, dwServerCertLength).number(dwServerCertLength).pointer(ppvClientSession)
        .pointer(ppbClientData).pointer(pdwClientDataLength);
    write_lent_text(__func__, 1, pszServerCertIssuer);
    write_lent_text(__func__, 2, pszServerCertSerial);
    STANDIN_ENTER();
    if (!ppvClientSession || !pdwClientDataLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        x509_ptr server;
        if (dwServerCertLength) {
            server = certificate_from_der(pbServerCert, dwServerCertLength);
            if (!server) return TAVREL_STANDIN_ERROR_CRYPTO;
        } else if (!pszServerCertIssuer || !*pszServerCertIssuer || !pszServerCertSerial || !*pszServerCertSerial) {
            return KT_ERROR_BAD_PARAMETER;
        } else if (DWORD status = stored_certificate(pszServerCertIssuer, pszServerCertSerial, &server)) {
            return status;
        }
        const EVP_PKEY *server_key = X509_get0_pubkey(server.get());
        if (!server_key) return TAVREL_STANDIN_ERROR_CRYPTO;
        auto s = std::make_shared<session>();
        s->expire_time = dwExpireTime;
        pkey_ptr one_time = new_agreement_key();
        bytes nonce = random_bytes(nonce_size);
        certificate_texts t = describe_certificate(server.get());
        field_writer hello;
        hello.number(dynamic_hello).blob(public_key_der(one_time.get())).blob(nonce).blob(t.issuer).blob(t.serial);
        derive_keys(*s, one_time.get(), server_key, nonce);
        s->peer = std::move(server);
        output_batch outputs(function);
        outputs.buffer(6, hello.data(), ppbClientData, pdwClientDataLength);
        hand_out(function, 5, std::move(s), ppvClientSession);
        return outputs.commit();
    });
}

DWORD KTServerDynamicKeySessionCreate(DWORD dwExpireTime, unsigned char *pbClientData, DWORD dwClientDataLength,
                                      PVOID *ppvServerSession) {
    const char *const function = __func__;
    call_record(__func__).number(dwExpireTime).bytes(pbClientData, dwClientDataLength).number(dwClientDataLength)
        .pointer(ppvServerSession);
    STANDIN_ENTER();
    if (!ppvServerSession) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        material_ptr own;
        if (DWORD status = current_key(&own)) return status;
        return server_dynamic_key_session(function, 3, own, dwExpireTime, pbClientData, dwClientDataLength, ppvServerSession);
    });
}

}  // extern "C"
