// Signing, verification and hashing.
#include <ctime>

#include "standin_fixture.h"

namespace standin_test {
namespace {

class SignTest : public StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        read_key(own, 0, 0, "pass-0");
        read_key(other, 0, 1, "pass-1");
    }
    void TearDown() override {
        own.release();
        other.release();
        StandinTest::TearDown();
    }
    key_fixture own, other;
};

time_t to_time(const SYSTEMTIME &t) {
    struct tm tm {};
    tm.tm_year = t.wYear - 1900;
    tm.tm_mon = t.wMonth - 1;
    tm.tm_mday = t.wDay;
    tm.tm_hour = t.wHour;
    tm.tm_min = t.wMinute;
    tm.tm_sec = t.wSecond;
    return timegm(&tm);
}

TEST_F(SignTest, RoundTripGivesTheSigningTime) {
    time_t before = std::time(nullptr);
    bytes signature = sign(own.key, "0123456789");
    SYSTEMTIME when{};
    ASSERT_EQ(verify("0123456789", signature, certificate(own.key), &when), 0u);
    EXPECT_GE(to_time(when), before - 1);
    EXPECT_LE(to_time(when), std::time(nullptr) + 1);
}

TEST_F(SignTest, SignerRecordDescribesTheSigner) {
    bytes signature = sign(own.key, "data");
    bytes cert = certificate(own.key);
    std::string data = "data";
    KT_SIGN_INFO info{};
    ASSERT_EQ(KTVerifyDataWithParams(reinterpret_cast<unsigned char *>(data.data()), data.size(), 0, nullptr,
                                     signature.data(), signature.size(), 0, nullptr, 0, cert.data(), cert.size(), 0,
                                     &info),
              0u);
    EXPECT_STREQ(info.pszSubjOrgUnit, "\xCD\xEE\xF1\xB3\xE9 SER-0");
    EXPECT_EQ(info.bTimeStamp, 0);
    EXPECT_EQ(TavrelStandin_GetCounters().records, 1u);
    KTFreeSignInfo(&info);
    EXPECT_EQ(field(info.pszSubjOrgUnit), nullptr);
    EXPECT_EQ(TavrelStandin_GetCounters().records, 0u);
}

TEST_F(SignTest, TamperedDataForeignCertificateAndDamagedSignatureFail) {
    bytes signature = sign(own.key, "0123456789");
    bytes cert = certificate(own.key);
    EXPECT_EQ(verify("0123456788", signature, cert), TAVREL_STANDIN_ERROR_VERIFY);
    EXPECT_EQ(verify("0123456789", signature, certificate(other.key)), TAVREL_STANDIN_ERROR_VERIFY);
    bytes damaged = signature;
    damaged[damaged.size() - 5] ^= 0x40;
    EXPECT_EQ(verify("0123456789", damaged, cert), TAVREL_STANDIN_ERROR_VERIFY);
    EXPECT_EQ(verify("0123456789", bytes{1, 2, 3}, cert), TAVREL_STANDIN_ERROR_VERIFY);
    EXPECT_EQ(verify("0123456789", signature, bytes{0x30, 0x00}), TAVREL_STANDIN_ERROR_CRYPTO);
}

TEST_F(SignTest, EmbeddedCertificateAndAttachedContent) {
    // Without a certificate given, the one in the signature is used, if there is one.
    EXPECT_EQ(verify("abc", sign(own.key, "abc", 1, 1), bytes()), 0u);
    EXPECT_EQ(verify("abc", sign(own.key, "abc", 1, 0), bytes()), TAVREL_STANDIN_ERROR_VERIFY);
    EXPECT_GT(sign(own.key, "abc", 1, 1).size(), sign(own.key, "abc", 1, 0).size());

    bytes attached = sign(own.key, "inside", 0, 0);
    bytes cert = certificate(own.key);
    KT_SIGN_INFO info{};
    EXPECT_EQ(KTVerifyDataWithParams(nullptr, 0, 0, nullptr, attached.data(), attached.size(), 0, nullptr, 0,
                                     cert.data(), cert.size(), 0, &info),
              0u);
    KTFreeSignInfo(&info);
    bytes detached = sign(own.key, "outside");
    EXPECT_EQ(KTVerifyDataWithParams(nullptr, 0, 0, nullptr, detached.data(), detached.size(), 0, nullptr, 0,
                                     cert.data(), cert.size(), 0, &info),
              TAVREL_STANDIN_ERROR_VERIFY);
    EXPECT_EQ(verify("outside", detached, cert), 0u);
}

TEST_F(SignTest, SignFileWritesADetachedSignature) {
    std::string blob = dir + "/blob.bin", sig = dir + "/blob.p7s";
    write_text(blob, std::string("file\0content", 12));
    ASSERT_EQ(KTCtxSignFile(own.key, 1, blob.data(), 1, 0, sig.data()), 0u);
    std::string written = read_text(sig);
    EXPECT_EQ(verify(std::string("file\0content", 12), bytes(written.begin(), written.end()), certificate(own.key)),
              0u);
    std::string missing = dir + "/missing.bin";
    EXPECT_EQ(KTCtxSignFile(own.key, 1, missing.data(), 1, 0, sig.data()), TAVREL_STANDIN_ERROR_FILE);
    std::string unwritable = dir + "/no/such/folder.p7s";
    EXPECT_EQ(KTCtxSignFile(own.key, 1, blob.data(), 1, 0, unwritable.data()), TAVREL_STANDIN_ERROR_FILE);
}

TEST_F(SignTest, SignAlgorithmCodes) {
    std::string data = "x";
    unsigned char *signature = nullptr;
    DWORD size = 0;
    auto sign_with = [&](DWORD algorithm) {
        DWORD status = KTCtxSignData(own.key, algorithm, reinterpret_cast<unsigned char *>(data.data()), 1, 1, 0,
                                     &signature, &size);
        if (status == 0) KTFreeMemory(signature);
        return status;
    };
    EXPECT_EQ(sign_with(1), 0u);
    EXPECT_EQ(sign_with(3), 0u);
    EXPECT_EQ(sign_with(2), TAVREL_STANDIN_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(sign_with(0), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(sign_with(9), KT_ERROR_BAD_PARAMETER);
}

TEST_F(SignTest, LongSignatureSwitch) {
    EXPECT_LE(sign(own.key, "0123456789", 1, 1).size(), 4096u);
    TavrelStandin_SetLongSignatures(1);
    bytes long_signature = sign(own.key, "0123456789");
    EXPECT_GT(long_signature.size(), 4096u);
    EXPECT_EQ(verify("0123456789", long_signature, certificate(own.key)), 0u);
    TavrelStandin_SetLongSignatures(0);
    EXPECT_LE(sign(own.key, "0123456789").size(), 4096u);
}

struct hash_case {
    DWORD algorithm;
    size_t size;
    const char *abc_hex;  // digest of "abc"
};

class HashTest : public StandinTest, public ::testing::WithParamInterface<hash_case> {};

std::string hex(const bytes &b) {
    std::string out;
    char pair[3];
    for (unsigned char c : b) {
        std::snprintf(pair, sizeof pair, "%02x", c);
        out += pair;
    }
    return out;
}

TEST_P(HashTest, DigestOfAbc) {
    PVOID context = nullptr;
    ASSERT_EQ(KTCtxCreate(&context), 0u);
    std::string data = "abc";
    unsigned char *hash = nullptr;
    DWORD size = 0;
    ASSERT_EQ(KTCtxHashData(context, GetParam().algorithm, nullptr, 0, reinterpret_cast<unsigned char *>(data.data()),
                            data.size(), &hash, &size),
              0u);
    bytes digest = take(hash, size);
    EXPECT_EQ(digest.size(), GetParam().size);
    EXPECT_EQ(hex(digest), GetParam().abc_hex);
    KTCtxFree(context);
}

INSTANTIATE_TEST_SUITE_P(
    Algorithms, HashTest,
    ::testing::Values(
        hash_case{1, 32, "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},  // SHA3-256
        hash_case{2, 20, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        hash_case{3, 28, "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        hash_case{4, 32, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}));

TEST_F(StandinTest, HashRefusesUnknownAlgorithmsAndContexts) {
    PVOID context = nullptr;
    ASSERT_EQ(KTCtxCreate(&context), 0u);
    unsigned char data[1] = {0};
    unsigned char *hash = nullptr;
    DWORD size = 0;
    for (DWORD algorithm : {0ul, 5ul, 6ul, 100ul})
        EXPECT_EQ(KTCtxHashData(context, algorithm, nullptr, 0, data, 1, &hash, &size), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(hash, nullptr);
    KTCtxFree(context);
    EXPECT_EQ(KTCtxHashData(context, 4, nullptr, 0, data, 1, &hash, &size), KT_ERROR_BAD_PARAMETER);
}

}  // namespace
}  // namespace standin_test
