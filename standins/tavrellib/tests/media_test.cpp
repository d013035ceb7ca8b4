// Key media: enumeration, access checks, key generation and destruction, key reading
// and the key's own certificate.
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "standin_fixture.h"

namespace standin_test {
namespace {

using MediaTest = StandinTest;

TEST_F(MediaTest, EnumeratesTypesAndDevicesInWindows1251) {
    char text[272];
    ASSERT_EQ(KTEnumKeyMediaTypes(0, text), 0u);
    EXPECT_EQ(std::string(text), accepted_type_cp1251);
    EXPECT_EQ(KTEnumKeyMediaTypes(1, text), KT_ERROR_NO_MORE_ITEMS);
    for (DWORD dev = 0; dev < 3; ++dev) {
        ASSERT_EQ(KTEnumKeyMediaDevices(0, dev, text), 0u);
        EXPECT_EQ(std::string(text), "SER-" + std::to_string(dev));
    }
    EXPECT_EQ(KTEnumKeyMediaDevices(0, 3, text), KT_ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(KTEnumKeyMediaDevices(1, 0, text), KT_ERROR_NO_MORE_ITEMS);
}

struct access_case {
    const char *name;
    DWORD type, dev;
    const char *password;
    DWORD status;
    BOOL exists;
};

class AccessTest : public StandinTest, public ::testing::WithParamInterface<access_case> {};

TEST_P(AccessTest, IsPrivateKeyExists) {
    const access_case &c = GetParam();
    KT_KEY_MEDIA m = media(c.type, c.dev, c.password);
    BOOL exists = 7;
    EXPECT_EQ(KTIsPrivateKeyExists(&m, &exists), c.status);
    EXPECT_EQ(exists, c.status == 0 ? c.exists : 7);
}

INSTANTIATE_TEST_SUITE_P(Media, AccessTest,
                         ::testing::Values(access_case{"WithKey", 0, 0, "pass-0", 0, 1},
                                           access_case{"WithoutKey", 0, 2, "pass-2", 0, 0},
                                           access_case{"WrongPassword", 0, 0, "pass-1", 18, 0},
                                           access_case{"PasswordPrefix", 0, 0, "pass-", 18, 0},
                                           access_case{"NoSuchDevice", 0, 3, "pass-0", 2, 0},
                                           access_case{"NoSuchType", 1, 0, "pass-0", 2, 0}),
                         [](const ::testing::TestParamInfo<access_case> &info) { return std::string(info.param.name); });

// KTGeneratePrivateKeyEx as the tool calls it.
DWORD generate(KT_KEY_MEDIA *m, bytes *ds, bytes *kep, std::string *ds_name, std::string *kep_name) {
    unsigned char *ds_buffer = nullptr, *kep_buffer = nullptr;
    DWORD ds_size = 0, kep_size = 0;
    char ds_file[1025] = "", kep_file[1025] = "";
    DWORD status = KTGeneratePrivateKeyEx(m, 1, 1, 2, 2, nullptr, 0, 2, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, &ds_buffer, &ds_size, ds_file, &kep_buffer, &kep_size,
                                          kep_file, nullptr, nullptr, nullptr);
    if (status == 0) {
        ds->assign(ds_buffer, ds_buffer + ds_size);
        kep->assign(kep_buffer, kep_buffer + kep_size);
        KTFreeMemory(kep_buffer);
        KTFreeMemory(ds_buffer);
        *ds_name = ds_file;
        *kep_name = kep_file;
    } else {
        EXPECT_EQ(ds_buffer, nullptr);
        EXPECT_EQ(kep_buffer, nullptr);
    }
    return status;
}

// Parses a PKCS#10 request and checks its self-signature; returns its key-usage bits.
uint32_t check_request(const bytes &der) {
    const unsigned char *p = der.data();
    X509_REQ *req = d2i_X509_REQ(nullptr, &p, long(der.size()));
    EXPECT_NE(req, nullptr);
    if (!req) return 0;
    EXPECT_EQ(p, der.data() + der.size());
    EVP_PKEY *key = X509_REQ_get0_pubkey(req);
    EXPECT_EQ(X509_REQ_verify(req, key), 1);
    uint32_t usage = 0;
    STACK_OF(X509_EXTENSION) *extensions = X509_REQ_get_extensions(req);
    for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
        X509_EXTENSION *ext = sk_X509_EXTENSION_value(extensions, i);
        if (OBJ_obj2nid(X509_EXTENSION_get_object(ext)) != NID_key_usage) continue;
        auto *bits = static_cast<ASN1_BIT_STRING *>(X509V3_EXT_d2i(ext));
        for (int bit = 0; bit < 9; ++bit) usage |= ASN1_BIT_STRING_get_bit(bits, bit) ? 1u << bit : 0;
        ASN1_BIT_STRING_free(bits);
    }
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    X509_REQ_free(req);
    return usage;
}

TEST_F(MediaTest, GenerateMakesTwoRequestsAndReplacesTheKey) {
    key_fixture old;
    read_key(old, 0, 0, "pass-0");
    bytes old_cert = certificate(old.key);

    KT_KEY_MEDIA m = media(0, 0, "pass-0");
    bytes ds, kep;
    std::string ds_name, kep_name;
    ASSERT_EQ(generate(&m, &ds, &kep, &ds_name, &kep_name), 0u);
    EXPECT_EQ(check_request(ds), 0x3u);  // digitalSignature, nonRepudiation
    EXPECT_EQ(check_request(kep), 0x10u);  // keyAgreement
    EXPECT_EQ(ds_name, "SER-0-ds.p10");
    EXPECT_EQ(kep_name, "SER-0-kep.p10");

    key_fixture fresh;
    read_key(fresh, 0, 0, "pass-0");
    EXPECT_NE(certificate(fresh.key), old_cert);
    // The device's validity is kept for the new certificate.
    PKT_CERT_INFO_EX info = nullptr;
    ASSERT_EQ(KTCtxGetOwnCertificate(fresh.key, 1, 1, &info, nullptr, nullptr), 0u);
    EXPECT_EQ(info->stCertBeginTime.wYear, 2021);
    KTFreeCertificateInfoEx(info);
    // A key read before stays usable.
    EXPECT_FALSE(sign(old.key, "data").empty());
}

TEST_F(MediaTest, GenerateOnAnEmptyMediumAndRefusals) {
    KT_KEY_MEDIA empty = media(0, 2, "pass-2");
    bytes ds, kep;
    std::string ds_name, kep_name;
    ASSERT_EQ(generate(&empty, &ds, &kep, &ds_name, &kep_name), 0u);
    BOOL exists = 0;
    ASSERT_EQ(KTIsPrivateKeyExists(&empty, &exists), 0u);
    EXPECT_EQ(exists, 1);

    std::string before = read_text(world_path);
    KT_KEY_MEDIA wrong = media(0, 1, "nope");
    EXPECT_EQ(generate(&wrong, &ds, &kep, &ds_name, &kep_name), KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    EXPECT_EQ(read_text(world_path), before);

    unsigned char *key_out = nullptr;
    DWORD key_size = 0;
    KT_KEY_MEDIA m = media(0, 1, "pass-1");
    EXPECT_EQ(KTGeneratePrivateKeyEx(&m, 1, 1, 2, 2, nullptr, 0, 2, nullptr, nullptr, nullptr, &key_out, &key_size,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr),
              TAVREL_STANDIN_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(KTGeneratePrivateKeyEx(nullptr, 1, 1, 2, 2, nullptr, 0, 2, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr),
              KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(read_text(world_path), before);
}

TEST_F(MediaTest, DestroyRemovesTheKey) {
    KT_KEY_MEDIA wrong = media(0, 0, "pass-1");
    EXPECT_EQ(KTDestroyPrivateKey(&wrong), KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    KT_KEY_MEDIA m = media(0, 0, "pass-0");
    ASSERT_EQ(KTDestroyPrivateKey(&m), 0u);
    BOOL exists = 1;
    ASSERT_EQ(KTIsPrivateKeyExists(&m, &exists), 0u);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(KTDestroyPrivateKey(&m), TAVREL_STANDIN_ERROR_NO_KEY);

    PVOID context = nullptr, key = nullptr;
    ASSERT_EQ(KTCtxCreate(&context), 0u);
    KT_CERT_OWNER_INFO owner{};
    EXPECT_EQ(KTCtxReadPrivateKey(context, &m, &key, &owner), TAVREL_STANDIN_ERROR_NO_KEY);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(owner.bFilled, 0);
    KTCtxFree(context);
}

TEST_F(MediaTest, ReadPrivateKeyStatusesAndOwnerRecord) {
    PVOID context = nullptr, key = nullptr;
    ASSERT_EQ(KTCtxCreate(&context), 0u);
    KT_CERT_OWNER_INFO owner{};
    KT_KEY_MEDIA wrong = media(0, 0, "bad");
    EXPECT_EQ(KTCtxReadPrivateKey(context, &wrong, &key, &owner), KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    EXPECT_EQ(owner.bFilled, 0);
    KT_KEY_MEDIA m = media(0, 0, "pass-0");
    int not_a_context = 0;
    EXPECT_EQ(KTCtxReadPrivateKey(&not_a_context, &m, &key, &owner), KT_ERROR_BAD_PARAMETER);

    ASSERT_EQ(KTCtxReadPrivateKey(context, &m, &key, &owner), 0u);
    ASSERT_EQ(owner.bFilled, 1);
    // Windows-1251 texts: "Тестовий підписувач".
    EXPECT_STREQ(owner.pszSubjCN, "\xD2\xE5\xF1\xF2\xEE\xE2\xE8\xE9 \xEF\xB3\xE4\xEF\xE8\xF1\xF3\xE2\xE0\xF7");
    EXPECT_STREQ(owner.pszSubjOrgUnit, "\xCD\xEE\xF1\xB3\xE9 SER-0");
    EXPECT_NE(field(owner.pszSerial), nullptr);
    EXPECT_NE(field(owner.pszIssuer), nullptr);
    EXPECT_STREQ(field(owner.pszSubjPhone), "");  // absent: an empty text
    EXPECT_EQ(TavrelStandin_GetCounters().records, 1u);
    KTCtxFreeCertOwnerInfo(context, &owner);
    EXPECT_EQ(owner.bFilled, 0);
    EXPECT_EQ(field(owner.pszSubjCN), nullptr);
    KTCtxFreePrivateKey(key);
    KTCtxFree(context);
}

TEST_F(MediaTest, OwnCertificateAndItsValidity) {
    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    PKT_CERT_INFO_EX info = nullptr;
    unsigned char *cert = nullptr;
    DWORD size = 0;
    ASSERT_EQ(KTCtxGetOwnCertificate(f.key, 1, 1, &info, &cert, &size), 0u);
    ASSERT_NE(info, nullptr);
    const unsigned char *p = cert;
    X509 *x = d2i_X509(nullptr, &p, long(size));
    EXPECT_NE(x, nullptr);
    X509_free(x);
    KTFreeMemory(cert);

    EXPECT_EQ(info->bFilled, 1);
    const SYSTEMTIME &b = info->stCertBeginTime;
    const SYSTEMTIME &e = info->stCertEndTime;
    EXPECT_EQ(std::vector<int>({b.wYear, b.wMonth, b.wDay, b.wHour, b.wMinute, b.wSecond}),
              std::vector<int>({2021, 3, 1, 8, 5, 9}));
    EXPECT_EQ(b.wDayOfWeek, 1);  // a Monday
    EXPECT_EQ(std::vector<int>({e.wYear, e.wMonth, e.wDay}), std::vector<int>({2023, 3, 1}));
    EXPECT_EQ(info->dwPublicKeyBits, 256u);
    EXPECT_NE(field(info->pszFingerprint), nullptr);
    KTFreeCertificateInfoEx(info);

    EXPECT_EQ(KTCtxGetOwnCertificate(f.key, 2, 1, &info, &cert, &size), TAVREL_STANDIN_ERROR_CERT_NOT_FOUND);
    EXPECT_EQ(KTCtxGetOwnCertificate(f.key, 1, 16, &info, &cert, &size), TAVREL_STANDIN_ERROR_CERT_NOT_FOUND);
    EXPECT_EQ(KTCtxGetOwnCertificate(f.key, 1, 1, nullptr, nullptr, nullptr), KT_ERROR_BAD_PARAMETER);
}

TEST_F(MediaTest, KeyFileWithLongPassword) {
    const std::string password(100, 'p');
    const std::string file = dir + "/key.p12";
    std::string command = std::string(STANDIN_WORLD_TOOL) + " keyfile '" + file + "' '" + password +
                          "' 2021-03-01T08:05:09";
    ASSERT_EQ(std::system(command.c_str()), 0);

    PVOID context = nullptr, key = nullptr;
    ASSERT_EQ(KTCtxCreate(&context), 0u);
    KT_CERT_OWNER_INFO owner{};
    std::string wrong = password.substr(0, 64);
    EXPECT_EQ(KTCtxReadPrivateKeyFile(context, const_cast<char *>(file.c_str()), wrong.data(), &key, &owner),
              KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    EXPECT_EQ(owner.bFilled, 0);
    std::string missing = dir + "/none.p12";
    EXPECT_EQ(KTCtxReadPrivateKeyFile(context, missing.data(), wrong.data(), &key, &owner), TAVREL_STANDIN_ERROR_FILE);
    EXPECT_EQ(KTCtxReadPrivateKeyFile(context, world_path.data(), wrong.data(), &key, &owner),
              TAVREL_STANDIN_ERROR_CRYPTO);

    std::string right = password;
    ASSERT_EQ(KTCtxReadPrivateKeyFile(context, const_cast<char *>(file.c_str()), right.data(), &key, &owner), 0u);
    EXPECT_EQ(owner.bFilled, 1);
    KTCtxFreeCertOwnerInfo(context, &owner);
    bytes signature = sign(key, "payload");
    EXPECT_EQ(verify("payload", signature, certificate(key)), 0u);
    PKT_CERT_INFO_EX info = nullptr;
    ASSERT_EQ(KTCtxGetOwnCertificate(key, 1, 1, &info, nullptr, nullptr), 0u);
    EXPECT_EQ(info->stCertBeginTime.wYear, 2021);
    KTFreeCertificateInfoEx(info);
    KTCtxFreePrivateKey(key);
    KTCtxFree(context);
}

}  // namespace
}  // namespace standin_test
