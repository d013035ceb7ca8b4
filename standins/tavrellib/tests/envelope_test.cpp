// Envelopes, sessions and headers through the library's C functions.
#include <cstdio>
#include <functional>

#include "standin_fixture.h"

namespace standin_test {
namespace {

class SealedTest : public StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        for (DWORD dev = 0; dev < 2; ++dev) {
            key_fixture f;
            read_key(f, 0, dev, "pass-" + std::to_string(dev));
            certs[dev] = certificate(f.key);
        }
    }
    void TearDown() override {
        KTResetPrivateKey();
        StandinTest::TearDown();
    }

    // Makes device `dev`'s key the library's own.
    void become(DWORD dev) {
        KT_KEY_MEDIA m = media(0, dev, "pass-" + std::to_string(dev));
        ASSERT_EQ(KTReadPrivateKey(&m, nullptr), 0u);
    }

    // Envelope of `data` by the current key to the devices' certificates.
    DWORD envelop(std::vector<DWORD> to, const std::string &data, bytes *out, BOOL sign = 1) {
        std::vector<bytes> copies;
        std::vector<unsigned char *> items;
        std::vector<DWORD> lengths;
        for (DWORD dev : to) copies.push_back(certs[dev]);
        for (bytes &c : copies) {
            c.push_back(0);  // as the module passes them: a NUL after each, counted
            items.push_back(c.data());
            lengths.push_back(c.size());
        }
        std::string copy = data;
        unsigned char *envelope = nullptr;
        DWORD size = 0;
        DWORD status = KTEnvelopDataToRecipients(items.size(), items.data(), lengths.data(), sign,
                                                 reinterpret_cast<unsigned char *>(copy.data()), copy.size(), nullptr,
                                                 &envelope, &size);
        if (status == 0) *out = take(envelope, size);
        return status;
    }

    DWORD develop(bytes envelope, std::string *data, KT_ENVELOP_INFO *sender) {
        unsigned char *opened = nullptr;
        DWORD size = 0;
        DWORD status = KTDevelopData(nullptr, envelope.data(), envelope.size(), &opened, &size, sender);
        if (status == 0) {
            bytes b = take(opened, size);
            data->assign(b.begin(), b.end());
        }
        return status;
    }

    bytes certs[2];
};

TEST_F(SealedTest, EnvelopeOpensForEachRecipientOnly) {
    become(0);
    bytes envelope;
    ASSERT_EQ(envelop({0, 1}, std::string("da\0ta", 5), &envelope), 0u);
    for (DWORD dev : {0u, 1u}) {
        become(dev);
        std::string data;
        KT_ENVELOP_INFO sender{};
        ASSERT_EQ(develop(envelope, &data, &sender), 0u) << dev;
        EXPECT_EQ(data, std::string("da\0ta", 5));
        EXPECT_STREQ(sender.pszSubjOrgUnit, "\xCD\xEE\xF1\xB3\xE9 SER-0");  // Носій SER-0: the sender
        EXPECT_EQ(sender.bTimeAvail, 1);
        KTFreeSenderInfo(&sender);
    }
    ASSERT_EQ(envelop({1}, "only for 1", &envelope), 0u);
    become(0);
    std::string data;
    KT_ENVELOP_INFO sender{};
    EXPECT_EQ(develop(envelope, &data, &sender), TAVREL_STANDIN_ERROR_CERT_NOT_FOUND);
    EXPECT_EQ(sender.bFilled, 0);
}

// No data at all is enveloped and opened like any other, signed or not.
TEST_F(SealedTest, EmptyDataOpens) {
    become(0);
    for (BOOL sign : {0, 1}) {
        bytes envelope;
        ASSERT_EQ(envelop({0}, "", &envelope, sign), 0u) << sign;
        std::string data = "old";
        KT_ENVELOP_INFO sender{};
        ASSERT_EQ(develop(envelope, &data, &sender), 0u) << sign;
        EXPECT_EQ(data, "");
        EXPECT_EQ(sender.bTimeAvail, sign);
        KTFreeSenderInfo(&sender);
    }
}

TEST_F(SealedTest, EveryChangedByteIsRefused) {
    become(0);
    bytes envelope;
    ASSERT_EQ(envelop({0}, "payload", &envelope), 0u);
    for (size_t at = 0; at < envelope.size(); at += 7) {
        bytes changed = envelope;
        changed[at] ^= 0x20;
        std::string data;
        KT_ENVELOP_INFO sender{};
        EXPECT_NE(develop(changed, &data, &sender), 0u) << at;
        EXPECT_EQ(sender.bFilled, 0);
    }
    bytes cut(envelope.begin(), envelope.end() - 1);
    std::string data;
    KT_ENVELOP_INFO sender{};
    EXPECT_EQ(develop(cut, &data, &sender), TAVREL_STANDIN_ERROR_CRYPTO);
}

TEST_F(SealedTest, RecipientListsAreChecked) {
    become(0);
    bytes garbage = {'n', 'o', 't', 0};
    unsigned char *items[] = {certs[0].data(), garbage.data()};
    DWORD lengths[] = {DWORD(certs[0].size()), DWORD(garbage.size())};
    unsigned char data[] = "x";
    unsigned char *envelope = nullptr;
    DWORD size = 0;
    EXPECT_EQ(KTEnvelopDataToRecipients(2, items, lengths, 0, data, 1, nullptr, &envelope, &size),
              TAVREL_STANDIN_ERROR_CRYPTO);
    EXPECT_EQ(KTEnvelopDataToRecipients(0, items, lengths, 0, data, 1, nullptr, &envelope, &size),
              KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(envelope, nullptr);
    KTResetPrivateKey();
    EXPECT_EQ(KTEnvelopDataToRecipients(1, items, lengths, 0, data, 1, nullptr, &envelope, &size),
              TAVREL_STANDIN_ERROR_NO_KEY);
    // A dynamic key needs no own key unless it signs.
    EXPECT_EQ(KTEnvelopDataToRecipientsWithDynamicKey(1, items, lengths, 0, 0, data, 1, nullptr, &envelope, &size), 0u);
    KTFreeMemory(envelope);
    EXPECT_EQ(KTEnvelopDataToRecipientsWithDynamicKey(1, items, lengths, 1, 0, data, 1, nullptr, &envelope, &size),
              TAVREL_STANDIN_ERROR_NO_KEY);
}

TEST_F(SealedTest, IssuersAndSerialsNameStoredCertificates) {
    become(0);
    KT_CERT_INFO_EX *info = nullptr;
    ASSERT_EQ(KTParseCertificateEx(certs[1].data(), certs[1].size(), &info), 0u);
    std::string issuer = info->pszIssuer, serial = info->pszSerial;
    KTFreeCertificateInfoEx(info);
    unsigned char data[] = "by name";
    auto envelop_to = [&](const std::string &issuers, const std::string &serials) {
        char *text = nullptr;
        unsigned char *envelope = nullptr;
        DWORD size = 0;
        std::string i = issuers, s = serials;
        DWORD status = KTEnvelopDataExWithDynamicKey(i.data(), s.data(), 1, 1, data, 7, &text, &envelope, &size);
        if (status == 0) {
            EXPECT_GT(std::strlen(text), size);  // base64 is longer
            KTFreeMemory(reinterpret_cast<unsigned char *>(text));
            KTFreeMemory(envelope);
        }
        return status;
    };
    EXPECT_EQ(envelop_to(issuer + '\0' + '\0', serial + '\0' + '\0'), 0u);
    EXPECT_EQ(envelop_to(issuer + '\0' + issuer + '\0' + '\0', serial + '\0' + '\0'), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(envelop_to(issuer + '\0' + '\0', std::string("00") + '\0' + '\0'), TAVREL_STANDIN_ERROR_CERT_NOT_FOUND);
}

TEST_F(SealedTest, SenderAndRecipientsAreReported) {
    become(0);
    bytes envelope;
    ASSERT_EQ(envelop({1, 0}, "to two", &envelope), 0u);
    DWORD count = 0;
    ASSERT_EQ(KTGetRecipientsCount(nullptr, envelope.data(), envelope.size(), &count), 0u);
    EXPECT_EQ(count, 2u);
    DWORD type = 0;
    char *issuer = nullptr, *serial = nullptr, *key_id = nullptr;
    ASSERT_EQ(KTGetRecipientInfo(0, nullptr, envelope.data(), envelope.size(), &type, &issuer, &serial, &key_id), 0u);
    EXPECT_EQ(type, 1u);
    EXPECT_NE(std::string(issuer).find("\xCD\xEE\xF1\xB3\xE9 SER-1"), std::string::npos);  // Cyrillic, Windows-1251
    for (char *t : {issuer, serial, key_id}) KTFreeMemory(reinterpret_cast<unsigned char *>(t));
    EXPECT_EQ(KTGetRecipientInfo(2, nullptr, envelope.data(), envelope.size(), &type, nullptr, nullptr, nullptr),
              KT_ERROR_BAD_PARAMETER);

    BOOL dynamic = 1;
    KT_CERT_INFO_EX *info = nullptr;
    unsigned char *sender = nullptr;
    DWORD size = 0;
    ASSERT_EQ(KTGetSenderInfo(nullptr, envelope.data(), envelope.size(), certs[1].data(), certs[1].size(), &dynamic,
                              &info, &sender, &size),
              0u);
    EXPECT_EQ(dynamic, 0);
    EXPECT_EQ(take(sender, size), certs[0]);
    KTFreeCertificateInfoEx(info);
    bytes stranger = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(KTGetSenderInfo(nullptr, envelope.data(), envelope.size(), stranger.data(), stranger.size(), nullptr,
                              &info, nullptr, &size),
              TAVREL_STANDIN_ERROR_CRYPTO);
}

TEST_F(SealedTest, FilesAndTextFormRoundTrip) {
    become(0);
    std::string plain = dir + "/plain", sealed = dir + "/sealed", opened = dir + "/opened";
    write_text(plain, std::string("file\0data", 9));
    unsigned char *items[] = {certs[0].data()};
    DWORD lengths[] = {DWORD(certs[0].size())};
    ASSERT_EQ(KTEnvelopFileToRecipients(1, items, lengths, 1, plain.data(), sealed.data()), 0u);
    DWORD count = 0;
    ASSERT_EQ(KTGetFileRecipientsCount(sealed.data(), &count), 0u);
    EXPECT_EQ(count, 1u);
    KT_ENVELOP_INFO sender{};
    ASSERT_EQ(KTDevelopFile(sealed.data(), opened.data(), &sender), 0u);
    EXPECT_EQ(read_text(opened), std::string("file\0data", 9));
    KTFreeSenderInfo(&sender);
    std::string missing = dir + "/missing";
    EXPECT_EQ(KTDevelopFile(missing.data(), opened.data(), &sender), TAVREL_STANDIN_ERROR_FILE);

    char *text = nullptr;
    unsigned char data[] = "as text";
    DWORD size = 0;
    ASSERT_EQ(KTEnvelopDataToRecipients(1, items, lengths, 0, data, 7, &text, nullptr, &size), 0u);
    unsigned char *out = nullptr;
    DWORD out_size = 0;
    ASSERT_EQ(KTDevelopData(text, nullptr, 0, &out, &out_size, &sender), 0u);
    EXPECT_EQ(take(out, out_size), bytes(data, data + 7));
    KTFreeMemory(reinterpret_cast<unsigned char *>(text));
    KTFreeSenderInfo(&sender);
}

// ---- sessions ----

struct session_pair {
    PVOID client = nullptr, server = nullptr;
    ~session_pair() {
        KTSessionDestroy(client);
        KTSessionDestroy(server);
    }
};

class SessionTest : public SealedTest {
  protected:
    void handshake(session_pair &p) {
        unsigned char *hello = nullptr, *reply = nullptr, *finish = nullptr;
        DWORD hello_size = 0, reply_size = 0, finish_size = 0;
        become(0);
        ASSERT_EQ(KTClientSessionCreateStep1(60, &p.client, &hello, &hello_size), 0u);
        become(1);
        ASSERT_EQ(KTServerSessionCreateStep1(60, hello, hello_size, &p.server, &reply, &reply_size), 0u);
        EXPECT_EQ(KTSessionIsInitialized(p.client), 0);
        ASSERT_EQ(KTClientSessionCreateStep2(p.client, reply, reply_size, &finish, &finish_size), 0u);
        EXPECT_EQ(KTSessionIsInitialized(p.server), 0);
        ASSERT_EQ(KTServerSessionCreateStep2(p.server, finish, finish_size), 0u);
        for (unsigned char *b : {hello, reply, finish}) KTFreeMemory(b);
    }

    static bytes crypt(bool encrypt, PVOID session, const bytes &data, DWORD *status) {
        bytes copy = data;
        unsigned char *out = nullptr;
        DWORD size = 0;
        *status = encrypt ? KTSessionEncrypt(session, copy.data(), copy.size(), &out, &size)
                          : KTSessionDecrypt(session, copy.data(), copy.size(), &out, &size);
        return *status == 0 ? take(out, size) : bytes();
    }
};

TEST_F(SessionTest, OnlyThePeerDecrypts) {
    session_pair p;
    handshake(p);
    EXPECT_EQ(KTSessionIsInitialized(p.client), 1);
    EXPECT_EQ(KTSessionIsInitialized(p.server), 1);
    const bytes message = {'h', 0, 'i'};
    DWORD status = 0;
    for (auto [from, to] : {std::pair{p.client, p.server}, std::pair{p.server, p.client}}) {
        bytes sealed = crypt(true, from, message, &status);
        ASSERT_EQ(status, 0u);
        EXPECT_EQ(crypt(false, to, sealed, &status), message);
        crypt(false, from, sealed, &status);
        EXPECT_EQ(status, TAVREL_STANDIN_ERROR_CRYPTO);
    }
    KT_CERT_INFO peer{};
    ASSERT_EQ(KTSessionGetPeerCertificateInfo(p.client, &peer), 0u);
    EXPECT_STREQ(peer.pszSubjOrgUnit, "\xCD\xEE\xF1\xB3\xE9 SER-1");
    EXPECT_EQ(null_texts(peer, kt_records::KT_CERT_INFO_fields), "");
    KTFreeCertificateInfo(&peer);
    EXPECT_EQ(KTSessionCheckCertificates(p.server), TAVREL_STANDIN_ERROR_VERIFY);  // SER-0's expired in 2023
    EXPECT_EQ(KTSessionCheckCertificates(p.client), 0u);
}

TEST_F(SessionTest, LoadedCopyDecryptsAndSurvivesTheOriginal) {
    session_pair p;
    handshake(p);
    unsigned char *saved = nullptr;
    DWORD size = 0;
    ASSERT_EQ(KTSessionSave(p.server, &saved, &size), 0u);
    bytes copy = take(saved, size);
    PVOID loaded = nullptr;
    ASSERT_EQ(KTSessionLoad(copy.data(), copy.size(), &loaded), 0u);
    EXPECT_EQ(TavrelStandin_GetCounters().sessions, 3u);
    KTSessionDestroy(p.server);
    p.server = nullptr;
    DWORD status = 0;
    bytes sealed = crypt(true, p.client, {'x'}, &status);
    EXPECT_EQ(crypt(false, loaded, sealed, &status), bytes{'x'});
    KTSessionDestroy(loaded);
    copy[copy.size() / 2] ^= 1;
    copy.resize(copy.size() - 1);
    EXPECT_EQ(KTSessionLoad(copy.data(), copy.size(), &loaded), TAVREL_STANDIN_ERROR_CRYPTO);
}

TEST_F(SessionTest, DynamicKeyHandshakeByCertificateOrName) {
    become(1);
    unsigned char *hello = nullptr;
    DWORD size = 0;
    PVOID client = nullptr, server = nullptr;
    ASSERT_EQ(KTClientDynamicKeySessionCreate(0, nullptr, nullptr, certs[1].data(), certs[1].size(), &client, &hello,
                                              &size),
              0u);
    EXPECT_EQ(KTSessionIsInitialized(client), 1);
    ASSERT_EQ(KTServerDynamicKeySessionCreate(0, hello, size, &server), 0u);
    DWORD status = 0;
    EXPECT_EQ(crypt(false, server, crypt(true, client, {'d'}, &status), &status), bytes{'d'});
    EXPECT_EQ(KTSessionCheckCertificates(server), TAVREL_STANDIN_ERROR_CERT_NOT_FOUND);  // the client has none
    EXPECT_EQ(KTSessionCheckCertificates(client), 0u);
    become(0);  // not the certificate the hello is meant for
    PVOID other = nullptr;
    EXPECT_EQ(KTServerDynamicKeySessionCreate(0, hello, size, &other), TAVREL_STANDIN_ERROR_CERT_NOT_FOUND);
    EXPECT_EQ(other, nullptr);
    KTFreeMemory(hello);
    KTSessionDestroy(client);
    KTSessionDestroy(server);
}

TEST_F(SessionTest, OutOfOrderMalformedAndStaleGiveStatuses) {
    session_pair p;
    handshake(p);
    unsigned char junk[] = {2, 0, 0, 0, 9};
    unsigned char *out = nullptr;
    DWORD size = 0;
    EXPECT_EQ(KTClientSessionCreateStep2(p.client, junk, sizeof junk, &out, &size), KT_ERROR_BAD_PARAMETER);  // done
    EXPECT_EQ(KTServerSessionCreateStep2(p.client, junk, sizeof junk), KT_ERROR_BAD_PARAMETER);  // wrong side
    PVOID fresh = nullptr;
    EXPECT_EQ(KTServerSessionCreateStep1(0, junk, sizeof junk, &fresh, &out, &size), TAVREL_STANDIN_ERROR_CRYPTO);
    PVOID client = nullptr;
    ASSERT_EQ(KTClientSessionCreateStep1(0, &client, &out, &size), 0u);
    EXPECT_EQ(KTClientSessionCreateStep2(client, out, size, &out, &size), TAVREL_STANDIN_ERROR_CRYPTO);  // own hello
    KTFreeMemory(out);
    EXPECT_EQ(KTSessionEncrypt(client, junk, 1, &out, &size), KT_ERROR_BAD_PARAMETER);  // not established
    KTSessionDestroy(client);

    int not_a_session = 0;
    TavrelStandinCounters before = TavrelStandin_GetCounters();
    for (PVOID handle : {PVOID(nullptr), PVOID(&not_a_session), client}) {
        EXPECT_EQ(KTSessionEncrypt(handle, junk, 1, &out, &size), KT_ERROR_BAD_PARAMETER);
        EXPECT_EQ(KTSessionSave(handle, &out, &size), KT_ERROR_BAD_PARAMETER);
        EXPECT_EQ(KTSessionCheckCertificates(handle), KT_ERROR_BAD_PARAMETER);
        EXPECT_EQ(KTSessionIsInitialized(handle), 0);
        KTSessionDestroy(handle);
    }
    EXPECT_EQ(TavrelStandin_GetCounters().sessions, before.sessions);
}

// ---- headers ----

TEST_F(SealedTest, HeadersCarryNulBytes) {
    bytes data = {0, 'a', 0, 0, 'b', 0};
    unsigned char *header = nullptr, *out = nullptr;
    DWORD size = 0, out_size = 0, type = 0, header_size = 0;
    char ca[] = "UA1";
    ASSERT_EQ(KTAppendCryptoHeader(ca, 2, data.data(), data.size(), &header, &size), 0u);
    char parsed_ca[1153] = {};
    ASSERT_EQ(KTParseCryptoHeader(header, size, parsed_ca, &type, &header_size, &out, &out_size), 0u);
    EXPECT_STREQ(parsed_ca, "UA1");
    EXPECT_EQ(type, 2u);
    EXPECT_EQ(header_size + out_size, size);
    EXPECT_EQ(take(out, out_size), data);
    EXPECT_EQ(KTParseCryptoHeader(header, size - 1, nullptr, nullptr, nullptr, &out, &out_size),
              TAVREL_STANDIN_ERROR_CRYPTO);
    bytes crypto = take(header, size);
    char long_ca[] = "UA12";
    EXPECT_EQ(KTAppendCryptoHeader(long_ca, 2, data.data(), data.size(), &header, &size), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTAppendCryptoHeader(ca, 5, data.data(), data.size(), &header, &size), KT_ERROR_BAD_PARAMETER);

    char name[] = "file", mail[] = "a@b";
    DWORD first = 0, second = 0;
    for (DWORD *receipt : {&first, &second}) {
        ASSERT_EQ(KTAppendTransportHeader(ca, name, mail, certs[0].data(), certs[0].size(), crypto.data(),
                                          crypto.size(), &header, &size),
                  0u);
        ASSERT_EQ(KTParseTransportHeader(header, size, receipt, &out, &out_size), 0u);
        EXPECT_EQ(take(out, out_size), crypto);
        header[size - 1] ^= 1;  // the data's last byte: still a header, other data
        ASSERT_EQ(KTParseTransportHeader(header, size, nullptr, &out, &out_size), 0u);
        EXPECT_NE(take(out, out_size), crypto);
        EXPECT_EQ(KTParseTransportHeader(header, size - 1, nullptr, nullptr, &out_size), TAVREL_STANDIN_ERROR_CRYPTO);
        KTFreeMemory(header);
    }
    EXPECT_EQ(second, first + 1);
}

}  // namespace
}  // namespace standin_test
