// Records the library fills: every text field points to a text, empty where there is
// nothing, so that a caller may read each one.
#include <string>

#include "standin_fixture.h"

namespace standin_test {
namespace {

class FilledRecordTest : public StandinTest {
  protected:
    void TearDown() override {
        KTResetPrivateKey();
        StandinTest::TearDown();
    }

    // The key of device 0 made the library's own, its owner record checked.
    void become_owner() {
        KT_KEY_MEDIA m = media(0, 0, "pass-0");
        KT_CERT_OWNER_INFO owner{};
        ASSERT_EQ(KTReadPrivateKey(&m, &owner), 0u);
        EXPECT_EQ(null_texts(owner, kt_records::KT_CERT_OWNER_INFO_fields), "");
        EXPECT_STREQ(field(owner.pszSubjAddress), "");  // the certificate names none
        KTFreeCertOwnerInfo(&owner);
    }

    // The sender record of an envelope to device 0's certificate.
    void expect_sender(BOOL sign, BOOL dynamic_key, BOOL filled) {
        bytes cert = own_certificate();
        cert.push_back(0);
        unsigned char *items[] = {cert.data()};
        DWORD lengths[] = {DWORD(cert.size())};
        unsigned char data[] = "data";
        unsigned char *envelope = nullptr;
        DWORD size = 0;
        ASSERT_EQ(dynamic_key ? KTEnvelopDataToRecipientsWithDynamicKey(1, items, lengths, sign, 0, data, 4, nullptr,
                                                                        &envelope, &size)
                              : KTEnvelopDataToRecipients(1, items, lengths, sign, data, 4, nullptr, &envelope, &size),
                  0u);
        bytes sealed = take(envelope, size);
        unsigned char *opened = nullptr;
        DWORD opened_size = 0;
        KT_ENVELOP_INFO sender{};
        ASSERT_EQ(KTDevelopData(nullptr, sealed.data(), sealed.size(), &opened, &opened_size, &sender), 0u);
        KTFreeMemory(opened);
        EXPECT_EQ(sender.bFilled, filled) << sign << dynamic_key;
        EXPECT_EQ(null_texts(sender, kt_records::KT_SIGN_INFO_fields), "") << sign << dynamic_key;
        KTFreeSenderInfo(&sender);
    }

    bytes own_certificate() {
        unsigned char *cert = nullptr;
        DWORD size = 0;
        KT_CERT_INFO_EX *info = nullptr;
        EXPECT_EQ(KTEnumOwnCertificates(0, &info), 0u);
        if (info) {
            EXPECT_EQ(null_texts(*info, kt_records::KT_CERT_INFO_EX_fields), "");
            EXPECT_STREQ(field(info->pszCRLDistribPoint1), "");
            KTFreeCertificateInfoEx(info);
        }
        EXPECT_EQ(KTGetCertificate(const_cast<char *>(issuer.c_str()), const_cast<char *>(serial.c_str()), nullptr,
                                   &cert, &size),
                  0u);
        return cert ? take(cert, size) : bytes();
    }

    std::string issuer, serial;
};

TEST_F(FilledRecordTest, OwnerCertificateSignerAndSenderRecordsHoldTexts) {
    become_owner();
    KT_CERT_INFO_EX *info = nullptr;
    ASSERT_EQ(KTEnumOwnCertificates(0, &info), 0u);
    issuer = info->pszIssuer;
    serial = info->pszSerial;
    KTFreeCertificateInfoEx(info);

    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    KT_CERT_OWNER_INFO owner{};
    KT_KEY_MEDIA m = media(0, 0, "pass-0");
    PVOID key = nullptr;
    ASSERT_EQ(KTCtxReadPrivateKey(f.context, &m, &key, &owner), 0u);
    EXPECT_EQ(null_texts(owner, kt_records::KT_CERT_OWNER_INFO_fields), "");
    KTCtxFreeCertOwnerInfo(f.context, &owner);
    KTCtxFreePrivateKey(key);

    std::string data = "signed";
    bytes signature = sign(f.key, data, 1, 1);
    KT_SIGN_INFO signer{};
    ASSERT_EQ(KTVerifyDataWithParams(reinterpret_cast<unsigned char *>(data.data()), data.size(), 0, nullptr,
                                     signature.data(), signature.size(), 0, nullptr, 0, nullptr, 0, 0, &signer),
              0u);
    EXPECT_EQ(null_texts(signer, kt_records::KT_SIGN_INFO_fields), "");
    KTFreeSignInfo(&signer);

    expect_sender(1, 0, 1);
    expect_sender(0, 0, 1);
    expect_sender(0, 1, 0);  // names no sender: still every text, bFilled 0
}

}  // namespace
}  // namespace standin_test
