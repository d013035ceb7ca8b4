// Named private keys on the key media, generation with a user description, and
// device certificates.
#include "standin_fixture.h"

namespace standin_test {
namespace {

class NamedKeyTest : public StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        ASSERT_EQ(KTCtxCreate(&context), 0u);
    }
    void TearDown() override {
        KTCtxFree(context);
        StandinTest::TearDown();
    }

    DWORD exists(const std::string &label, BOOL *found) {
        KT_KEY_MEDIA m = media(0, 2, "pass-2");
        std::string l = label;
        return KTCtxIsNamedPrivateKeyExists(context, &m, l.data(), nullptr, found);
    }
    bool present(const std::string &label) {
        BOOL found = -1;
        EXPECT_EQ(exists(label, &found), 0u);
        return found == 1;
    }
    // Generation with the requests asked for where `requests` is given (three slots).
    DWORD generate(const std::string &label, const std::string &password, bytes (*requests)[3] = nullptr,
                   std::string (*names)[3] = nullptr, KT_USER_INFO *user = nullptr) {
        KT_KEY_MEDIA m = media(0, 2, "pass-2");
        std::string l = label, p = password;
        unsigned char *out[3] = {};
        DWORD size[3] = {};
        char name[3][1153] = {};
        DWORD status = KTCtxGenerateNamedPrivateKeyEx(
            context, &m, l.data(), p.data(), 1, 1, 1, nullptr, 0, 0, nullptr, user, nullptr,
            requests ? &out[0] : nullptr, &size[0], name[0], requests ? &out[1] : nullptr, &size[1], name[1],
            requests ? &out[2] : nullptr, &size[2], name[2]);
        for (int i = 0; i < 3; ++i) {
            if (requests && out[i]) (*requests)[i] = take(out[i], size[i]);
            if (names) (*names)[i] = name[i];
        }
        return status;
    }
    DWORD read(const std::string &label, const std::string &password, PVOID *key, KT_CERT_OWNER_INFO *owner) {
        KT_KEY_MEDIA m = media(0, 2, "pass-2");
        std::string l = label, p = password;
        return KTCtxReadNamedPrivateKey(context, &m, l.data(), p.data(), key, owner);
    }
    DWORD change(const std::string &label, const std::string &password, const std::string &next) {
        KT_KEY_MEDIA m = media(0, 2, "pass-2");
        std::string l = label, p = password, n = next;
        return KTCtxChangeNamedPrivateKeyPassword(context, &m, l.data(), p.data(), n.data());
    }
    DWORD destroy(const std::string &label, const std::string &password) {
        KT_KEY_MEDIA m = media(0, 2, "pass-2");
        std::string l = label, p = password;
        return KTCtxDestroyNamedPrivateKey(context, &m, l.data(), p.data());
    }
    // Reads the key, signs through it and verifies with its own certificate.
    void expect_usable(const std::string &label, const std::string &password) {
        PVOID key = nullptr;
        ASSERT_EQ(read(label, password, &key, nullptr), 0u);
        EXPECT_EQ(verify("named", sign(key, "named"), certificate(key)), 0u);
        KTCtxFreePrivateKey(key);
    }
    void reinitialise() {
        KTFinalize();
        ASSERT_EQ(KTInitialize(), 0u);
    }

    PVOID context = nullptr;
};

TEST_F(NamedKeyTest, LifecyclePersistsInTheWorldFile) {
    const std::string label = "\xEF\xB3\xE4\xEF\xE8\xF1";  // "підпис" in Windows-1251
    EXPECT_FALSE(present(label));
    bytes requests[3];
    std::string names[3];
    ASSERT_EQ(generate(label, "first", &requests, &names), 0u);
    EXPECT_EQ(names[0], label + "-ds.p10");
    EXPECT_EQ(names[1], label + "-kep.p10");
    EXPECT_EQ(names[2], label + "-int.p10");
    for (const bytes &r : requests) {
        KT_CR_INFO *info = nullptr;
        bytes copy = r;
        ASSERT_EQ(KTGetCRInfo(copy.data(), copy.size(), &info), 0u);
        EXPECT_EQ(info->bSelfSigned, 1);
        EXPECT_EQ(null_texts(*info, kt_records::KT_CR_INFO_fields), "");
        KTFreeCRInfo(info);
    }
    EXPECT_EQ(generate(label, "other"), TAVREL_STANDIN_ERROR_KEY_EXISTS);
    EXPECT_NE(read_text(world_path).find("\"label\":\t\"підпис\""), std::string::npos);

    reinitialise();
    EXPECT_TRUE(present(label));
    EXPECT_FALSE(present("absent"));
    PVOID key = nullptr;
    EXPECT_EQ(read(label, "wrong", &key, nullptr), KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    EXPECT_EQ(key, nullptr);
    expect_usable(label, "first");
    EXPECT_EQ(change(label, "wrong", "second"), KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    ASSERT_EQ(change(label, "first", "second"), 0u);

    reinitialise();
    EXPECT_EQ(read(label, "first", &key, nullptr), KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    expect_usable(label, "second");
    EXPECT_EQ(destroy(label, "first"), KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    ASSERT_EQ(destroy(label, "second"), 0u);
    EXPECT_EQ(destroy(label, "second"), TAVREL_STANDIN_ERROR_NO_KEY);

    reinitialise();
    EXPECT_FALSE(present(label));
    EXPECT_EQ(read(label, "second", &key, nullptr), TAVREL_STANDIN_ERROR_NO_KEY);
}

TEST_F(NamedKeyTest, MediumPasswordLabelsAndNullArguments) {
    ASSERT_EQ(generate("k", "p"), 0u);
    KT_KEY_MEDIA wrong_medium = media(0, 2, "pass-0");
    char label[] = "k", password[] = "p";
    PVOID key = nullptr;
    BOOL found = 0;
    EXPECT_EQ(KTCtxIsNamedPrivateKeyExists(context, &wrong_medium, label, password, &found),
              KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    EXPECT_EQ(KTCtxReadNamedPrivateKey(context, &wrong_medium, label, password, &key, nullptr),
              KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    EXPECT_EQ(KTCtxDestroyNamedPrivateKey(context, &wrong_medium, label, password), KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    EXPECT_EQ(KTCtxChangeNamedPrivateKeyPassword(context, &wrong_medium, label, password, password),
              KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);

    EXPECT_EQ(generate(std::string(65, 'L'), "p"), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(generate("", "p"), KT_ERROR_BAD_PARAMETER);
    ASSERT_EQ(generate(std::string(64, 'L'), "p"), 0u);
    EXPECT_EQ(exists("k", nullptr), 0u);  // no flag asked for
    KT_KEY_MEDIA m = media(0, 2, "pass-2");
    EXPECT_EQ(KTCtxReadNamedPrivateKey(context, &m, label, nullptr, &key, nullptr), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTCtxChangeNamedPrivateKeyPassword(context, &m, label, password, nullptr), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTCtxDestroyNamedPrivateKey(nullptr, &m, label, password), KT_ERROR_BAD_PARAMETER);
    expect_usable("k", "p");
}

TEST_F(NamedKeyTest, UserDescriptionMakesTheSubjectAndIsWrittenBack) {
    KT_USER_INFO user{};
    user.dwVersion = 3;
    std::snprintf(user.szCommonName, sizeof user.szCommonName, "%s", "\xCF\xE5\xF2\xF0\xEE");  // "Петро"
    std::snprintf(user.szOrganiztion, sizeof user.szOrganiztion, "%s", "Org");
    std::snprintf(user.szCountry, sizeof user.szCountry, "%s", "PL");
    ASSERT_EQ(generate("with-user", "p", nullptr, nullptr, &user), 0u);

    PVOID key = nullptr;
    KT_CERT_OWNER_INFO owner{};
    ASSERT_EQ(read("with-user", "p", &key, &owner), 0u);
    EXPECT_STREQ(field(owner.pszSubjCN), "\xCF\xE5\xF2\xF0\xEE");
    EXPECT_STREQ(field(owner.pszSubjOrg), "Org");
    EXPECT_STREQ(user.szUserCode, field(owner.pszSerial));
    EXPECT_STREQ(user.szCommonName, "\xCF\xE5\xF2\xF0\xEE");
    KTFreeCertOwnerInfo(&owner);
    KTCtxFreePrivateKey(key);

    KT_USER_INFO unnamed{};
    ASSERT_EQ(generate("label-as-name", "p", nullptr, nullptr, &unnamed), 0u);
    EXPECT_STREQ(unnamed.szCommonName, "label-as-name");
    EXPECT_NE(unnamed.szUserCode[0], 0);
}

TEST_F(NamedKeyTest, PrepareChecksTheKeyBytes) {
    const std::string file = dir + "/key.p12";
    std::string command = std::string(STANDIN_WORLD_TOOL) + " keyfile '" + file + "' secret";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string p12 = read_text(file);
    char label[] = "prepared", right[] = "secret", wrong[] = "other";
    auto data = reinterpret_cast<unsigned char *>(p12.data());
    EXPECT_EQ(KTCtxPrepareNamedPrivateKey(context, label, right, data, p12.size()), 0u);
    EXPECT_EQ(KTCtxPrepareNamedPrivateKey(context, label, wrong, data, p12.size()), KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    EXPECT_EQ(KTCtxPrepareNamedPrivateKey(context, label, right, data, 3), TAVREL_STANDIN_ERROR_CRYPTO);
    EXPECT_EQ(KTCtxPrepareNamedPrivateKey(context, nullptr, right, data, p12.size()), KT_ERROR_BAD_PARAMETER);
}

TEST_F(NamedKeyTest, DeviceCertificatesForTheRequestsGiven) {
    bytes requests[3];
    ASSERT_EQ(generate("device", "p", &requests), 0u);
    char name[] = "\xCF\xF0\xE8\xF1\xF2\xF0\xB3\xE9 1";  // "Пристрій 1"
    unsigned char *certs[4] = {};
    DWORD sizes[4] = {9, 9, 9, 9};
    ASSERT_EQ(KTCtxMakeDeviceCertificate(context, name, requests[0].data(), requests[0].size(), requests[1].data(),
                                         requests[1].size(), nullptr, 0, requests[2].data(), requests[2].size(),
                                         nullptr, nullptr, &certs[0], &sizes[0], &certs[1], &sizes[1], &certs[2],
                                         &sizes[2], nullptr, &sizes[3]),
              0u);
    EXPECT_EQ(certs[2], nullptr);  // no request of that kind
    for (int i : {0, 1}) {
        ASSERT_NE(certs[i], nullptr);
        PKT_CERT_INFO_EX info = nullptr;
        ASSERT_EQ(KTParseCertificateEx(certs[i], sizes[i], &info), 0u);
        EXPECT_STREQ(field(info->pszSubjCN), name);
        EXPECT_STREQ(field(info->pszIssuerCN), "\xD2\xE5\xF1\xF2\xEE\xE2\xE8\xE9 \xD6\xD1\xCA \xEF\xF0\xE8\xF1\xF2\xF0\xEE\xBF\xE2");
        KTFreeCertificateInfoEx(info);
        KTFreeMemory(certs[i]);
    }

    unsigned char *cert = nullptr;
    DWORD size = 0;
    bytes garbage = {0x30, 0x03, 1, 2, 3};
    EXPECT_EQ(KTCtxMakeDeviceCertificate(context, name, garbage.data(), garbage.size(), nullptr, 0, nullptr, 0,
                                         nullptr, 0, nullptr, nullptr, &cert, &size, nullptr, &size, nullptr, &size,
                                         nullptr, &size),
              TAVREL_STANDIN_ERROR_CRYPTO);
    EXPECT_EQ(KTCtxMakeDeviceCertificate(context, name, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr,
                                         nullptr, &cert, &size, nullptr, &size, nullptr, &size, nullptr, &size),
              KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(cert, nullptr);
}

}  // namespace
}  // namespace standin_test
