// Hash signatures, file signatures built signer by signer and COSE through contexts, as
// the library-wide verification and inspection functions see them.
#include "standin_fixture.h"

namespace standin_test {
namespace {

class ContextFilesTest : public StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        read_key(f, 0, 1, "pass-1");
        data_path = dir + "/data.txt";
        write_text(data_path, "file to sign");
    }
    void TearDown() override {
        f.release();
        StandinTest::TearDown();
    }
    std::string serial_of(const bytes &certificate) {
        bytes copy = certificate;
        PKT_CERT_INFO_EX info = nullptr;
        EXPECT_EQ(KTParseCertificateEx(copy.data(), copy.size(), &info), 0u);
        std::string serial = info ? field(info->pszSerial) : "";
        KTFreeCertificateInfoEx(info);
        return serial;
    }
    key_fixture f;
    std::string data_path;
};

TEST_F(ContextFilesTest, HashSignatureVerifiesLibraryWide) {
    bytes hash(32, 0x5A);
    unsigned char *signature = nullptr;
    DWORD size = 0;
    EXPECT_EQ(KTCtxSignHashValue(f.context, 1, hash.data(), hash.size(), 0, &signature, &size),
              KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTCtxSignHashValue(f.key, 2, hash.data(), hash.size(), 0, &signature, &size),
              TAVREL_STANDIN_ERROR_NOT_SUPPORTED);
    ASSERT_EQ(KTCtxSignHashValue(f.key, 1, hash.data(), hash.size(), 0, &signature, &size), 0u);
    bytes sign = take(signature, size);
    KT_SIGN_INFO info{};
    EXPECT_EQ(KTVerifyHash(nullptr, hash.data(), hash.size(), nullptr, sign.data(), sign.size(), &info), 0u);
    EXPECT_EQ(std::string(field(info.pszSerial)), serial_of(certificate(f.key)));
    KTFreeSignInfo(&info);
    hash[0] ^= 1;
    EXPECT_EQ(KTVerifyHash(nullptr, hash.data(), hash.size(), nullptr, sign.data(), sign.size(), nullptr),
              TAVREL_STANDIN_ERROR_VERIFY);
}

TEST_F(ContextFilesTest, FileSignatureBuiltSignerBySigner) {
    bytes cert = certificate(f.key);
    std::string empty_path = dir + "/empty.p7s", signed_path = dir + "/signed.p7s";
    EXPECT_EQ(KTCtxCreateEmptySignFile(f.key, 1, data_path.data(), cert.data(), cert.size(), empty_path.data()),
              KT_ERROR_BAD_PARAMETER);
    ASSERT_EQ(KTCtxCreateEmptySignFile(f.context, 1, data_path.data(), cert.data(), cert.size(), empty_path.data()),
              0u);
    DWORD count = 9;
    ASSERT_EQ(KTGetFileSignsCount(empty_path.data(), &count), 0u);
    EXPECT_EQ(count, 0u);

    bytes signer = sign(f.key, "file to sign");
    EXPECT_EQ(KTCtxAppendSignerFile(f.context, 1, signer.data(), 3, nullptr, 0, empty_path.data(), signed_path.data()),
              TAVREL_STANDIN_ERROR_CRYPTO);
    ASSERT_EQ(KTCtxAppendSignerFile(f.context, 1, signer.data(), signer.size(), cert.data(), cert.size(),
                                    empty_path.data(), signed_path.data()),
              0u);
    ASSERT_EQ(KTGetFileSignsCount(signed_path.data(), &count), 0u);
    EXPECT_EQ(count, 1u);
    PKT_CERT_INFO_EX info = nullptr;
    unsigned char *signer_cert = nullptr;
    DWORD signer_cert_size = 0;
    ASSERT_EQ(KTGetFileSignerInfo(0, signed_path.data(), &info, &signer_cert, &signer_cert_size), 0u);
    EXPECT_EQ(std::string(field(info->pszSerial)), serial_of(cert));
    KTFreeCertificateInfoEx(info);
    EXPECT_EQ(take(signer_cert, signer_cert_size), cert);

    std::string missing = dir + "/missing.p7s";
    EXPECT_EQ(KTCtxAppendSignerFile(f.context, 1, signer.data(), signer.size(), nullptr, 0, missing.data(),
                                    signed_path.data()),
              TAVREL_STANDIN_ERROR_FILE);
}

TEST_F(ContextFilesTest, CoseThroughAPrivateKeyContext) {
    unsigned char data[] = "cose payload";
    unsigned char *message = nullptr, *payload = nullptr;
    DWORD size = 0, payload_size = 0;
    EXPECT_EQ(KTCtxCOSESignData(f.context, 1, data, 12, &message, &size), KT_ERROR_BAD_PARAMETER);
    ASSERT_EQ(KTCtxCOSESignData(f.key, 3, data, 12, &message, &size), 0u);
    bytes cose = take(message, size);
    KT_SIGN_INFO info{};
    ASSERT_EQ(KTCOSEVerifyData(cose.data(), cose.size(), nullptr, 0, &payload, &payload_size, &info), 0u);
    EXPECT_EQ(take(payload, payload_size), bytes(data, data + 12));
    EXPECT_EQ(std::string(field(info.pszSerial)), serial_of(certificate(f.key)));
    KTFreeSignInfo(&info);

    std::string cose_path = dir + "/data.cose", out_path = dir + "/data.out";
    ASSERT_EQ(KTCtxCOSESignFile(f.key, 1, data_path.data(), cose_path.data()), 0u);
    ASSERT_EQ(KTCOSEVerifyFile(cose_path.data(), nullptr, 0, out_path.data(), nullptr), 0u);
    EXPECT_EQ(read_text(out_path), "file to sign");
    std::string missing = dir + "/missing";
    EXPECT_EQ(KTCtxCOSESignFile(f.key, 1, missing.data(), cose_path.data()), TAVREL_STANDIN_ERROR_FILE);
}

}  // namespace
}  // namespace standin_test
