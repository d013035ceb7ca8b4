// Enveloping to recipients, opening envelopes, and the sender and recipients of an envelope.
#include "envelope.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>

#include "call_record.h"
#include "cp1251.h"
#include "library.h"
#include "sealing.h"
#include "sign_support.h"

namespace tavrel_standin {
namespace {

const unsigned char magic[8] = {'V', 'E', 'K', 'E', 'N', 'V', '1', 0};
constexpr uint32_t flag_signed = 1, flag_dynamic_key = 2;
constexpr DWORD recipient_by_issuer_and_serial = 1;  // what KTGetRecipientInfo reports
const std::string key_label = "vek envelope key";

struct recipient_entry {
    std::string issuer, serial, key_id;  // UTF-8
    bytes sealed_key;
};

struct parsed_envelope {
    uint32_t flags = 0;
    pkey_ptr originator;
    x509_ptr sender;
    std::vector<recipient_entry> recipients;
    bytes header;  // everything before the sealed content: its associated data
    bytes content;
};

bytes key_salt(const recipient_entry &r) {
    field_writer w;
    w.blob(r.issuer).blob(r.serial);
    return w.data();
}

recipient_entry describe_recipient(const X509 *certificate) {
    certificate_texts t = describe_certificate(certificate);
    return recipient_entry{t.issuer, t.serial, t.public_key_id, {}};
}

bool parse(const bytes &envelope, parsed_envelope *out) {
    if (envelope.size() < sizeof magic || std::memcmp(envelope.data(), magic, sizeof magic) != 0) return false;
    field_reader r(envelope.data() + sizeof magic, envelope.size() - sizeof magic);
    bytes originator, sender;
    uint32_t count = 0;
    if (!r.number(&out->flags) || !r.blob(&originator) || !r.blob(&sender) || !r.number(&count)) return false;
    out->originator = public_key_from_der(originator);
    if (!out->originator) return false;
    if (!sender.empty() && !(out->sender = certificate_from_der(sender.data(), sender.size()))) return false;
    if (count == 0 || count > envelope.size()) return false;
    for (uint32_t i = 0; i < count; ++i) {
        recipient_entry e;
        if (!r.blob(&e.issuer) || !r.blob(&e.serial) || !r.blob(&e.key_id) || !r.blob(&e.sealed_key)) return false;
        out->recipients.push_back(std::move(e));
    }
    size_t header_size = sizeof magic + r.offset_from(envelope.data() + sizeof magic);
    out->header.assign(envelope.begin(), envelope.begin() + long(header_size));
    return r.blob(&out->content) && r.at_end();
}

// The parsed envelope a caller gave, as text or bytes: 2 when neither is given or the text is
// no base64, CRYPTO when it is no envelope.
DWORD parse_input(const char *text, const unsigned char *data, DWORD size, parsed_envelope *parsed) {
    bytes envelope;
    if (DWORD status = input_form(text, data, size, &envelope)) return status;
    return parse(envelope, parsed) ? 0 : TAVREL_STANDIN_ERROR_CRYPTO;
}

DWORD parse_file(const char *path, parsed_envelope *parsed) {
    bytes envelope;
    if (DWORD status = read_named_file(path, &envelope)) return status;
    return parse(envelope, parsed) ? 0 : TAVREL_STANDIN_ERROR_CRYPTO;
}

// Multi-strings of issuers and serials, element by element, looked up in the store.
DWORD stored_recipients(const char *issuers, const char *serials, std::vector<x509_ptr> *recipients) {
    if (!issuers || !serials) return KT_ERROR_BAD_PARAMETER;
    for (; *issuers || *serials; issuers += std::strlen(issuers) + 1, serials += std::strlen(serials) + 1) {
        if (!*issuers || !*serials) return KT_ERROR_BAD_PARAMETER;  // the lists differ in length
        x509_ptr found;
        if (DWORD status = stored_certificate(issuers, serials, &found)) return status;
        recipients->push_back(std::move(found));
    }
    return recipients->empty() ? KT_ERROR_BAD_PARAMETER : 0;
}

// Envelops with the library's own key as the sender.
DWORD envelop_as_own(const std::vector<x509_ptr> &recipients, const envelop_options &options,
                     const unsigned char *data, size_t size, bytes *envelope) {
    material_ptr own;  // stays null without an own key, which a dynamic key may do without
    DWORD status = current_key(&own);
    if (status && status != TAVREL_STANDIN_ERROR_NO_KEY) return status;
    return envelop(own.get(), recipients, options, data, size, envelope);
}

// The data variants: the envelope through the text output at `text_index` and the byte
// output right after it.
DWORD envelop_data(const char *function, const std::vector<x509_ptr> &recipients, const envelop_options &options,
                   const unsigned char *data, DWORD size, unsigned text_index, char **text, unsigned char **binary,
                   DWORD *length) {
    if ((!data && size) || (binary && !length)) return KT_ERROR_BAD_PARAMETER;
    bytes envelope;
    if (DWORD status = envelop_as_own(recipients, options, data, size, &envelope)) return status;
    output_batch outputs(function);
    outputs.text(text_index, base64(envelope), text).buffer(text_index + 1, envelope, binary, length);
    return outputs.commit();
}

// The file variants: the file's envelope written to `envelope_path`.
DWORD envelop_file(const std::vector<x509_ptr> &recipients, const envelop_options &options, const char *path,
                   const char *envelope_path) {
    bytes data, envelope;
    if (DWORD status = read_named_file(path, &data)) return status;
    if (DWORD status = envelop_as_own(recipients, options, data.data(), data.size(), &envelope)) return status;
    return write_named_file(envelope_path, envelope);
}

// Opens with the library's own key.
DWORD develop_as_own(const bytes &envelope, const X509 *sender_certificate, opened_envelope *opened) {
    material_ptr own;
    if (DWORD status = current_key(&own)) return status;
    return develop(*own, envelope, sender_certificate, opened);
}

// The data variants of opening: the data through the output at `data_index`.
DWORD develop_data(const char *function, char *text, unsigned char *envelope_data, DWORD size,
                   const X509 *sender_certificate, unsigned data_index, unsigned char **data, DWORD *length,
                   PKT_ENVELOP_INFO sender) {
    if (!length || !sender) return KT_ERROR_BAD_PARAMETER;
    bytes envelope;
    if (DWORD status = input_form(text, envelope_data, size, &envelope)) return status;
    opened_envelope opened;
    if (DWORD status = develop_as_own(envelope, sender_certificate, &opened)) return status;
    output_batch outputs(function);
    outputs.buffer(data_index, opened.data, data, length);
    fill_sender_info(sender, opened);
    return outputs.commit();
}

// The sender functions: the sender's certificate from a parsed envelope addressed to
// `recipient` (when one is given, it must be among the recipients).
DWORD sender_info(const char *function, const parsed_envelope &parsed, const unsigned char *recipient,
                  DWORD recipient_length, unsigned flag_index, BOOL *dynamic_key, PKT_CERT_INFO_EX *info,
                  unsigned char **certificate, DWORD *certificate_length) {
    if (recipient_length) {
        x509_ptr cert = certificate_from_der(recipient, recipient_length);
        if (!cert) return TAVREL_STANDIN_ERROR_CRYPTO;
        recipient_entry wanted = describe_recipient(cert.get());
        bool addressed = false;
        for (const recipient_entry &e : parsed.recipients)
            addressed = addressed || (e.issuer == wanted.issuer && e.serial == wanted.serial);
        if (!addressed) return TAVREL_STANDIN_ERROR_CERT_NOT_FOUND;
    }
    if (!parsed.sender) return TAVREL_STANDIN_ERROR_CERT_NOT_FOUND;
    output_batch outputs(function);
    outputs.buffer(flag_index + 2, certificate_der(parsed.sender.get()), certificate, certificate_length);
    *info = new_cert_info_ex(describe_certificate(parsed.sender.get()));
    if (dynamic_key) *dynamic_key = (parsed.flags & flag_dynamic_key) ? 1 : 0;
    return outputs.commit();
}

DWORD recipients_count(const char *function, const parsed_envelope &parsed, DWORD *count) {
    if (count) *count = parsed.recipients.size();
    return late_status(function);
}

DWORD recipient_info(const char *function, const parsed_envelope &parsed, DWORD index, unsigned type_index,
                     DWORD *type, char **issuer, char **serial, char **key_id) {
    if (index >= parsed.recipients.size()) return KT_ERROR_BAD_PARAMETER;
    const recipient_entry &e = parsed.recipients[index];
    output_batch outputs(function);
    outputs.text(type_index + 1, utf8_to_cp1251_lossy(e.issuer), issuer)
        .text(type_index + 2, e.serial, serial)
        .text(type_index + 3, e.key_id, key_id);
    if (type) *type = recipient_by_issuer_and_serial;
    return outputs.commit();
}

}  // namespace

DWORD read_recipients(DWORD count, unsigned char *const *certificates, const DWORD *lengths,
                      std::vector<x509_ptr> *recipients) {
    if (count == 0 || !certificates || !lengths) return KT_ERROR_BAD_PARAMETER;
    for (DWORD i = 0; i < count; ++i) {
        x509_ptr cert = certificate_from_der(certificates[i], lengths[i]);
        if (!cert) return TAVREL_STANDIN_ERROR_CRYPTO;
        recipients->push_back(std::move(cert));
    }
    return 0;
}

DWORD envelop(const key_material *sender, const std::vector<x509_ptr> &recipients, const envelop_options &options,
              const unsigned char *data, size_t size, bytes *envelope) {
    if (recipients.empty()) return KT_ERROR_BAD_PARAMETER;
    if (!sender && (options.sign || !options.dynamic_key)) return TAVREL_STANDIN_ERROR_NO_KEY;
    pkey_ptr one_time = options.dynamic_key ? new_agreement_key() : nullptr;
    const EVP_PKEY *originator = options.dynamic_key ? one_time.get() : sender->key.get();
    bool names_sender = sender && (!options.dynamic_key || options.sign || options.append_certificate);

    uint32_t flags = (options.sign ? flag_signed : 0) | (options.dynamic_key ? flag_dynamic_key : 0);
    field_writer header;
    header.number(flags).blob(public_key_der(originator));
    header.blob(names_sender ? certificate_der(sender->certificate.get()) : bytes());
    header.number(uint32_t(recipients.size()));
    bytes content_key = random_bytes(aes_key_size);
    for (const x509_ptr &cert : recipients) {
        const EVP_PKEY *peer = X509_get0_pubkey(cert.get());
        if (!peer) return TAVREL_STANDIN_ERROR_CRYPTO;
        recipient_entry e = describe_recipient(cert.get());
        bytes salt = key_salt(e);
        bytes wrapping = agree(originator, peer, salt, key_label, aes_key_size);
        header.blob(e.issuer).blob(e.serial).blob(e.key_id);
        header.blob(seal(wrapping, salt, content_key.data(), content_key.size()));
    }

    field_writer content;
    content.blob(data, size);
    if (options.sign) content.blob(cms_sign(*sender, data, size, true, true, 0));
    bytes associated(magic, magic + sizeof magic);
    associated.insert(associated.end(), header.data().begin(), header.data().end());
    bytes sealed = seal(content_key, associated, content.data().data(), content.data().size());
    OPENSSL_cleanse(content_key.data(), content_key.size());

    *envelope = std::move(associated);
    field_writer tail;
    tail.blob(sealed);
    envelope->insert(envelope->end(), tail.data().begin(), tail.data().end());
    return 0;
}

DWORD develop(const key_material &recipient, const bytes &envelope, const X509 *sender_certificate,
              opened_envelope *opened) {
    parsed_envelope parsed;
    if (!parse(envelope, &parsed)) return TAVREL_STANDIN_ERROR_CRYPTO;
    recipient_entry own = describe_recipient(recipient.certificate.get());
    const recipient_entry *entry = nullptr;
    for (const recipient_entry &e : parsed.recipients)
        if (e.issuer == own.issuer && e.serial == own.serial) entry = &e;
    if (!entry) return TAVREL_STANDIN_ERROR_CERT_NOT_FOUND;

    bytes salt = key_salt(*entry);
    bytes wrapping = agree(recipient.key.get(), parsed.originator.get(), salt, key_label, aes_key_size);
    bytes content_key, content;
    if (!open_sealed(wrapping, salt, entry->sealed_key, &content_key) || content_key.size() != aes_key_size ||
        !open_sealed(content_key, parsed.header, parsed.content, &content))
        return TAVREL_STANDIN_ERROR_CRYPTO;

    field_reader r(content.data(), content.size());
    opened_envelope result;
    bytes signature;
    if (!r.blob(&result.data)) return TAVREL_STANDIN_ERROR_CRYPTO;
    if (parsed.flags & flag_signed) {
        if (!r.blob(&signature)) return TAVREL_STANDIN_ERROR_CRYPTO;
        const X509 *signer = parsed.sender ? parsed.sender.get() : sender_certificate;
        // Empty data is still data given: a null pointer would ask for content inside.
        static const unsigned char no_data = 0;
        const unsigned char *signed_data = result.data.empty() ? &no_data : result.data.data();
        verified_signer verified;
        if (cms_verify(signed_data, result.data.size(), signature.data(), signature.size(), signer, 0, &verified) !=
            verify_status::ok)
            return TAVREL_STANDIN_ERROR_VERIFY;
        result.sender = std::move(verified);
    } else {
        result.sender.certificate = std::move(parsed.sender);
    }
    if (!r.at_end()) return TAVREL_STANDIN_ERROR_CRYPTO;
    *opened = std::move(result);
    return 0;
}

void fill_sender_info(KT_ENVELOP_INFO *info, const opened_envelope &opened) {
    if (!info) return;
    if (opened.sender.certificate) {
        fill_sign_info(info, opened.sender);
        return;
    }
    KT_ENVELOP_INFO nobody{};  // bFilled 0, no time, every text empty
    record_texts texts;
    commit_record(info, nobody, texts);
}

}  // namespace tavrel_standin

using namespace tavrel_standin;

// A function that hands out through lambdas names itself in `function`: there __func__
// would name the lambda.
extern "C" {

DWORD KTEnvelopDataToRecipients(DWORD dwRecipientCerts, unsigned char **ppbRecipientCerts,
                                DWORD *pdwRecipientCertsLength, BOOL bSignData, unsigned char *pbData,
                                DWORD dwDataLength, char **ppszEnvelopedData, unsigned char **ppbEnvelopedData,
                                DWORD *pdwEnvelopedDataLength) {
    const char *const function = __func__;
    call_record(__func__).byte_list(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength).number(bSignData)
        .bytes(pbData, dwDataLength).number(dwDataLength).pointer(ppszEnvelopedData).pointer(ppbEnvelopedData)
        .pointer(pdwEnvelopedDataLength);
    STANDIN_ENTER();
    return guarded([&]() -> DWORD {
        std::vector<x509_ptr> recipients;
        if (DWORD status = read_recipients(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength, &recipients))
            return status;
        envelop_options options;
        options.sign = bSignData != 0;
        return envelop_data(function, recipients, options, pbData, dwDataLength, 6, ppszEnvelopedData,
                            ppbEnvelopedData, pdwEnvelopedDataLength);
    });
}

DWORD KTEnvelopFileToRecipients(DWORD dwRecipientCerts, unsigned char **ppbRecipientCerts,
                                DWORD *pdwRecipientCertsLength, BOOL bSignData, char *pszFileName,
                                char *pszEnvelopedFileName) {
    call_record(__func__).byte_list(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength).number(bSignData)
        .text(pszFileName).text(pszEnvelopedFileName);
    write_lent_text(__func__, 4, pszFileName);
    write_lent_text(__func__, 5, pszEnvelopedFileName);
    STANDIN_ENTER();
    return guarded([&]() -> DWORD {
        std::vector<x509_ptr> recipients;
        if (DWORD status = read_recipients(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength, &recipients))
            return status;
        envelop_options options;
        options.sign = bSignData != 0;
        return envelop_file(recipients, options, pszFileName, pszEnvelopedFileName);
    });
}

DWORD KTEnvelopDataExWithDynamicKey(char *pszRecipientCertIssuers, char *pszRecipientCertSerials, BOOL bSignData,
                                    BOOL bAppendCert, unsigned char *pbData, DWORD dwDataLength,
                                    char **ppszEnvelopedData, unsigned char **ppbEnvelopedData,
                                    DWORD *pdwEnvelopedDataLength) {
    const char *const function = __func__;
    call_record(__func__).multi_text(pszRecipientCertIssuers).multi_text(pszRecipientCertSerials).number(bSignData)
        .number(bAppendCert).bytes(pbData, dwDataLength).number(dwDataLength).pointer(ppszEnvelopedData)
        .pointer(ppbEnvelopedData).pointer(pdwEnvelopedDataLength);
    STANDIN_ENTER();
    return guarded([&]() -> DWORD {
        std::vector<x509_ptr> recipients;
        if (DWORD status = stored_recipients(pszRecipientCertIssuers, pszRecipientCertSerials, &recipients))
            return status;
        envelop_options options{bSignData != 0, true, bAppendCert != 0};
        return envelop_data(function, recipients, options, pbData, dwDataLength, 6, ppszEnvelopedData,
                            ppbEnvelopedData, pdwEnvelopedDataLength);
    });
}

DWORD KTEnvelopDataToRecipientsWithDynamicKey(DWORD dwRecipientCerts, unsigned char **ppbRecipientCerts,
                                              DWORD *pdwRecipientCertsLength, BOOL bSignData, BOOL bAppendCert,
                                              unsigned char *pbData, DWORD dwDataLength, char **ppszEnvelopedData,
                                              unsigned char **ppbEnvelopedData, DWORD *pdwEnvelopedDataLength) {
    const char *const function = __func__;
    call_record(__func__).byte_list(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength).number(bSignData)
        .number(bAppendCert).bytes(pbData, dwDataLength).number(dwDataLength).pointer(ppszEnvelopedData)
        .pointer(ppbEnvelopedData).pointer(pdwEnvelopedDataLength);
    STANDIN_ENTER();
    return guarded([&]() -> DWORD {
        std::vector<x509_ptr> recipients;
        if (DWORD status = read_recipients(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength, &recipients))
            return status;
        envelop_options options{bSignData != 0, true, bAppendCert != 0};
        return envelop_data(function, recipients, options, pbData, dwDataLength, 7, ppszEnvelopedData,
                            ppbEnvelopedData, pdwEnvelopedDataLength);
    });
}

DWORD KTEnvelopFileExWithDynamicKey(char *pszRecipientCertIssuers, char *pszRecipientCertSerials, BOOL bSignData,
                                    BOOL bAppendCert, char *pszFileName, char *pszEnvelopedFileName) {
    call_record(__func__).multi_text(pszRecipientCertIssuers).multi_text(pszRecipientCertSerials).number(bSignData)
        .number(bAppendCert).text(pszFileName).text(pszEnvelopedFileName);
    write_lent_text(__func__, 4, pszFileName);
    write_lent_text(__func__, 5, pszEnvelopedFileName);
    STANDIN_ENTER();
    return guarded([&]() -> DWORD {
        std::vector<x509_ptr> recipients;
        if (DWORD status = stored_recipients(pszRecipientCertIssuers, pszRecipientCertSerials, &recipients))
            return status;
        envelop_options options{bSignData != 0, true, bAppendCert != 0};
        return envelop_file(recipients, options, pszFileName, pszEnvelopedFileName);
    });
}

DWORD KTEnvelopFileToRecipientsWithDynamicKey(DWORD dwRecipientCerts, unsigned char **ppbRecipientCerts,
                                              DWORD *pdwRecipientCertsLength, BOOL bSignData, BOOL bAppendCert,
                                              char *pszFileName, char *pszEnvelopedFileName) {
    call_record(__func__).byte_list(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength).number(bSignData)
        .number(bAppendCert).text(pszFileName).text(pszEnvelopedFileName);
    write_lent_text(__func__, 5, pszFileName);
    write_lent_text(__func__, 6, pszEnvelopedFileName);
    STANDIN_ENTER();
    return guarded([&]() -> DWORD {
        std::vector<x509_ptr> recipients;
        if (DWORD status = read_recipients(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength, &recipients))
            return status;
        envelop_options options{bSignData != 0, true, bAppendCert != 0};
        return envelop_file(recipients, options, pszFileName, pszEnvelopedFileName);
    });
}

DWORD KTEnvelopDataToRecipientsOffline(DWORD dwRecipientCerts, unsigned char **ppbRecipientCerts,
                                       DWORD *pdwRecipientCertsLength, BOOL bSignData, unsigned char *pbData,
                                       DWORD dwDataLength, BOOL bOffline, BOOL bNoCRL, char **ppszEnvelopedData,
                                       unsigned char **ppbEnvelopedData, DWORD *pdwEnvelopedDataLength) {
    // No revocation checks exist here: offline or not, with or without CRLs, is the same.
    const char *const function = __func__;
    call_record(__func__).byte_list(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength).number(bSignData)
        .bytes(pbData, dwDataLength).number(dwDataLength).number(bOffline).number(bNoCRL)
        .pointer(ppszEnvelopedData).pointer(ppbEnvelopedData).pointer(pdwEnvelopedDataLength);
    STANDIN_ENTER();
    return guarded([&]() -> DWORD {
        std::vector<x509_ptr> recipients;
        if (DWORD status = read_recipients(dwRecipientCerts, ppbRecipientCerts, pdwRecipientCertsLength, &recipients))
            return status;
        envelop_options options;
        options.sign = bSignData != 0;
        return envelop_data(function, recipients, options, pbData, dwDataLength, 8, ppszEnvelopedData,
                            ppbEnvelopedData, pdwEnvelopedDataLength);
    });
}

DWORD KTDevelopData(char *pszEnvelopedData, unsigned char *pbEnvelopedData, DWORD dwEnvelopedDataLength,
                    unsigned char **ppbData, DWORD *pdwDataLength, PKT_ENVELOP_INFO pSenderInfo) {
    const char *const function = __func__;
    call_record(__func__).text(pszEnvelopedData).bytes(pbEnvelopedData, dwEnvelopedDataLength)
        .number(dwEnvelopedDataLength).pointer(ppbData).pointer(pdwDataLength).pointer(pSenderInfo);
    write_lent_text(__func__, 0, pszEnvelopedData);
    STANDIN_ENTER();
    return guarded([&]() -> DWORD {
        return develop_data(function, pszEnvelopedData, pbEnvelopedData, dwEnvelopedDataLength, nullptr, 3, ppbData,
                            pdwDataLength, pSenderInfo);
    });
}

DWORD KTDevelopFile(char *pszEnvelopedFileName, char *pszFileName, PKT_ENVELOP_INFO pSenderInfo) {
    call_record(__func__).text(pszEnvelopedFileName).text(pszFileName).pointer(pSenderInfo);
    write_lent_text(__func__, 0, pszEnvelopedFileName);
    write_lent_text(__func__, 1, pszFileName);
    STANDIN_ENTER();
    if (!pszEnvelopedFileName || !pszFileName || !pSenderInfo) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        bytes envelope;
        if (DWORD status = read_named_file(pszEnvelopedFileName, &envelope)) return status;
        opened_envelope opened;
        if (DWORD status = develop_as_own(envelope, nullptr, &opened)) return status;
        if (DWORD status = write_named_file(pszFileName, opened.data)) return status;
        fill_sender_info(pSenderInfo, opened);
        return 0;
    });
}

DWORD KTDevelopDataEx(char *pszEnvelopedData, unsigned char *pbEnvelopedData, DWORD dwEnvelopedDataLength,
                      unsigned char *pbSenderCert, DWORD dwSenderCertLength, unsigned char **ppbData,
                      DWORD *pdwDataLength, PKT_ENVELOP_INFO pSenderInfo) {
    const char *const function = __func__;
    call_record(__func__).text(pszEnvelopedData).bytes(pbEnvelopedData, dwEnvelopedDataLength)
        .number(dwEnvelopedDataLength).bytes(pbSenderCert, dwSenderCertLength).number(dwSenderCertLength)
        .pointer(ppbData).pointer(pdwDataLength).pointer(pSenderInfo);
    write_lent_text(__func__, 0, pszEnvelopedData);
    STANDIN_ENTER();
    return guarded([&]() -> DWORD {
        x509_ptr sender;
        if (dwSenderCertLength && !(sender = certificate_from_der(pbSenderCert, dwSenderCertLength)))
            return TAVREL_STANDIN_ERROR_CRYPTO;
        return develop_data(function, pszEnvelopedData, pbEnvelopedData, dwEnvelopedDataLength, sender.get(), 5,
                            ppbData, pdwDataLength, pSenderInfo);
    });
}

DWORD KTGetSenderInfo(char *pszEnvelopedData, unsigned char *pbEnvelopedData, DWORD dwEnvelopedDataLength,
                      unsigned char *pbRecipientCert, DWORD dwRecipientCertLength, BOOL *pbDynamicKey,
                      PKT_CERT_INFO_EX *ppInfo, unsigned char **ppbCertificate, DWORD *pdwCertificateLength) {
    const char *const function = __func__;
    call_record(__func__).text(pszEnvelopedData).bytes(pbEnvelopedData, dwEnvelopedDataLength)
        .number(dwEnvelopedDataLength).bytes(pbRecipientCert, dwRecipientCertLength).number(dwRecipientCertLength)
        .pointer(pbDynamicKey).pointer(ppInfo).pointer(ppbCertificate).pointer(pdwCertificateLength);
    write_lent_text(__func__, 0, pszEnvelopedData);
    STANDIN_ENTER();
    if (!ppInfo || !pdwCertificateLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        parsed_envelope parsed;
        if (DWORD status = parse_input(pszEnvelopedData, pbEnvelopedData, dwEnvelopedDataLength, &parsed))
            return status;
        if (DWORD status = sender_info(function, parsed, pbRecipientCert, dwRecipientCertLength, 5, pbDynamicKey,
                                       ppInfo, ppbCertificate, pdwCertificateLength))
            return status;
        return 0;
    });
}

DWORD KTGetFileSenderInfo(char *pszEnvelopedFileName, unsigned char *pbRecipientCert, DWORD dwRecipientCertLength,
                          BOOL *pbDynamicKey, PKT_CERT_INFO_EX *ppInfo, unsigned char **ppbCertificate,
                          DWORD *pdwCertificateLength) {
    const char *const function = __func__;
    call_record(__func__).text(pszEnvelopedFileName).bytes(pbRecipientCert, dwRecipientCertLength)
        .number(dwRecipientCertLength).pointer(pbDynamicKey).pointer(ppInfo).pointer(ppbCertificate)
        .pointer(pdwCertificateLength);
    write_lent_text(__func__, 0, pszEnvelopedFileName);
    STANDIN_ENTER();
    if (!ppInfo || !pdwCertificateLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        parsed_envelope parsed;
        if (DWORD status = parse_file(pszEnvelopedFileName, &parsed)) return status;
        if (DWORD status = sender_info(function, parsed, pbRecipientCert, dwRecipientCertLength, 3, pbDynamicKey,
                                       ppInfo, ppbCertificate, pdwCertificateLength))
            return status;
        return 0;
    });
}

DWORD KTGetRecipientsCount(char *pszEnvelopedData, unsigned char *pbEnvelopedData, DWORD dwEnvelopedDataLength,
                           DWORD *pdwCount) {
    const char *const function = __func__;
    call_record(__func__).text(pszEnvelopedData).bytes(pbEnvelopedData, dwEnvelopedDataLength)
        .number(dwEnvelopedDataLength).pointer(pdwCount);
    write_lent_text(__func__, 0, pszEnvelopedData);
    STANDIN_ENTER();
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        parsed_envelope parsed;
        if (DWORD status = parse_input(pszEnvelopedData, pbEnvelopedData, dwEnvelopedDataLength, &parsed))
            return status;
        return recipients_count(function, parsed, pdwCount);
    });
}

DWORD KTGetFileRecipientsCount(char *pszEnvelopedFileName, DWORD *pdwCount) {
    const char *const function = __func__;
    call_record(__func__).text(pszEnvelopedFileName).pointer(pdwCount);
    write_lent_text(__func__, 0, pszEnvelopedFileName);
    STANDIN_ENTER();
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        parsed_envelope parsed;
        if (DWORD status = parse_file(pszEnvelopedFileName, &parsed)) return status;
        return recipients_count(function, parsed, pdwCount);
    });
}

DWORD KTGetRecipientInfo(DWORD dwRecipientIndex, char *pszEnvelopedData, unsigned char *pbEnvelopedData,
                         DWORD dwEnvelopedDataLength, DWORD *pdwRecipientInfoType, char **ppszRecipientIssuer,
                         char **ppszRecipientSerial, char **ppszRecipientPublicKeyID) {
    const char *const function = __func__;
    call_record(__func__).number(dwRecipientIndex).text(pszEnvelopedData)
        .bytes(pbEnvelopedData, dwEnvelopedDataLength).number(dwEnvelopedDataLength).pointer(pdwRecipientInfoType)
        .pointer(ppszRecipientIssuer).pointer(ppszRecipientSerial).pointer(ppszRecipientPublicKeyID);
    write_lent_text(__func__, 1, pszEnvelopedData);
    STANDIN_ENTER();
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        parsed_envelope parsed;
        if (DWORD status = parse_input(pszEnvelopedData, pbEnvelopedData, dwEnvelopedDataLength, &parsed))
            return status;
        if (DWORD status = recipient_info(function, parsed, dwRecipientIndex, 4, pdwRecipientInfoType,
                                          ppszRecipientIssuer, ppszRecipientSerial, ppszRecipientPublicKeyID))
            return status;
        return 0;
    });
}

DWORD KTGetFileRecipientInfo(DWORD dwRecipientIndex, char *pszEnvelopedFileName, DWORD *pdwRecipientInfoType,
                             char **ppszRecipientIssuer, char **ppszRecipientSerial,
                             char **ppszRecipientPublicKeyID) {
    const char *const function = __func__;
    call_record(__func__).number(dwRecipientIndex).text(pszEnvelopedFileName).pointer(pdwRecipientInfoType)
        .pointer(ppszRecipientIssuer).pointer(ppszRecipientSerial).pointer(ppszRecipientPublicKeyID);
    write_lent_text(__func__, 1, pszEnvelopedFileName);
    STANDIN_ENTER();
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        parsed_envelope parsed;
        if (DWORD status = parse_file(pszEnvelopedFileName, &parsed)) return status;
        if (DWORD status = recipient_info(function, parsed, dwRecipientIndex, 2, pdwRecipientInfoType,
                                          ppszRecipientIssuer, ppszRecipientSerial, ppszRecipientPublicKeyID))
            return status;
        return 0;
    });
}

}  // extern "C"
