// Context parameters, private keys from key bytes and opened on media, and handles
// of the wrong kind or used after they were freed.
#include "standin_fixture.h"

namespace standin_test {
namespace {

class ContextTest : public StandinTest {
  protected:
    void SetUp() override {
        StandinTest::SetUp();
        read_key(f, 0, 1, "pass-1");
    }
    void TearDown() override {
        f.release();
        StandinTest::TearDown();
    }
    // A PKCS#12 key file made by the world helper, as bytes.
    bytes key_file(const std::string &password) {
        const std::string file = dir + "/key.p12";
        std::string command = std::string(STANDIN_WORLD_TOOL) + " keyfile '" + file + "' '" + password + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::string text = read_text(file);
        return bytes(text.begin(), text.end());
    }
    key_fixture f;
};

TEST_F(ContextTest, ParametersTakeTheFourNamesWithFourBytes) {
    struct parameter_case {
        const char *name;
        DWORD size;
        DWORD status;
    };
    const parameter_case cases[] = {
        {"CheckPrivateKey", 4, 0},
        {"ResolveOIDs", 4, 0},
        {"ExportableContext", 4, 0},
        {"UseCouplePrivateKey", 4, 0},
        {"UseCouplePrivateKey", 8, KT_ERROR_BAD_PARAMETER},
        {"UseCouplePrivateKey", 0, KT_ERROR_BAD_PARAMETER},
        {"checkprivatekey", 4, KT_ERROR_BAD_PARAMETER},
        {"ReturnNamedKeyError", 4, KT_ERROR_BAD_PARAMETER},
        {"", 4, KT_ERROR_BAD_PARAMETER},
    };
    for (const parameter_case &c : cases) {
        unsigned int value = 1;
        std::string name = c.name;
        EXPECT_EQ(KTCtxSetParameter(f.context, name.data(), &value, c.size), c.status) << c.name << " " << c.size;
    }
    unsigned int value = 1;
    char name[] = "ResolveOIDs";
    EXPECT_EQ(KTCtxSetParameter(f.context, name, nullptr, 4), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTCtxSetParameter(f.context, nullptr, &value, 4), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTCtxSetParameter(f.key, name, &value, 4), KT_ERROR_BAD_PARAMETER);
}

TEST_F(ContextTest, KeyBytesWithAPassword) {
    bytes p12 = key_file("secret");
    PVOID key = nullptr;
    KT_CERT_OWNER_INFO owner{};
    char wrong[] = "secreT", right[] = "secret";
    EXPECT_EQ(KTCtxReadPrivateKeyBinary(f.context, p12.data(), p12.size(), wrong, &key, &owner),
              KT_ERROR_KEY_MEDIAS_ACCESS_FAILED);
    EXPECT_EQ(owner.bFilled, 0);
    EXPECT_EQ(key, nullptr);
    bytes garbage = {1, 2, 3};
    EXPECT_EQ(KTCtxReadPrivateKeyBinary(f.context, garbage.data(), garbage.size(), right, &key, &owner),
              TAVREL_STANDIN_ERROR_CRYPTO);
    EXPECT_EQ(KTCtxReadPrivateKeyBinary(f.key, p12.data(), p12.size(), right, &key, &owner), KT_ERROR_BAD_PARAMETER);

    ASSERT_EQ(KTCtxReadPrivateKeyBinary(f.context, p12.data(), p12.size(), right, &key, &owner), 0u);
    EXPECT_EQ(owner.bFilled, 1);
    KTFreeCertOwnerInfo(&owner);
    EXPECT_EQ(verify("payload", sign(key, "payload"), certificate(key)), 0u);
    KTCtxFreePrivateKey(key);
}

TEST_F(ContextTest, OpenPrivateKeyOnAMedium) {
    struct open_case {
        DWORD dev;
        const char *password;
        DWORD status;
    };
    const open_case cases[] = {
        {0, "pass-0", 0},
        {0, "pass-1", KT_ERROR_KEY_MEDIAS_ACCESS_FAILED},
        {2, "pass-2", TAVREL_STANDIN_ERROR_NO_KEY},
        {9, "pass-0", KT_ERROR_BAD_PARAMETER},
    };
    for (const open_case &c : cases) {
        KT_KEY_MEDIA m = media(0, c.dev, c.password);
        PVOID key = nullptr;
        ASSERT_EQ(KTCtxOpenPrivateKey(f.context, &m, &key), c.status) << c.dev << " " << c.password;
        if (c.status != 0) {
            EXPECT_EQ(key, nullptr);
            continue;
        }
        EXPECT_EQ(verify("opened", sign(key, "opened"), certificate(key)), 0u);
        KTCtxFreePrivateKey(key);
    }
}

TEST_F(ContextTest, HandlesOfTheWrongKindOrFreedGiveAStatus) {
    KT_KEY_MEDIA m = media(0, 0, "pass-0");
    PVOID key = nullptr;
    ASSERT_EQ(KTCtxOpenPrivateKey(f.context, &m, &key), 0u);
    KTCtxFreePrivateKey(key);
    unsigned char data[] = "data";
    unsigned char *signature = nullptr;
    DWORD size = 0;
    EXPECT_EQ(KTCtxSignData(key, 1, data, 4, 1, 0, &signature, &size), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTCtxSignData(f.context, 1, data, 4, 1, 0, &signature, &size), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTCtxOpenPrivateKey(f.key, &m, &key), KT_ERROR_BAD_PARAMETER);
    KT_KEY_MEDIA record{};
    EXPECT_EQ(KTCtxOpenPrivateKey(&record, &m, &key), KT_ERROR_BAD_PARAMETER);
    KTCtxFreePrivateKey(key);  // twice: ignored
    EXPECT_EQ(signature, nullptr);

    // A private-key context freed after its context: counted, no crash.
    PVOID context = nullptr, orphan = nullptr;
    ASSERT_EQ(KTCtxCreate(&context), 0u);
    ASSERT_EQ(KTCtxOpenPrivateKey(context, &m, &orphan), 0u);
    KTCtxFree(context);
    EXPECT_EQ(KTCtxOpenPrivateKey(context, &m, &key), KT_ERROR_BAD_PARAMETER);
    KTCtxFreePrivateKey(orphan);
    KTCtxFree(context);
    EXPECT_EQ(TavrelStandin_GetCounters().violations, 1u);
}

TEST_F(ContextTest, EnvelopeToTheKeyAndOpenItThroughTheKey) {
    key_fixture recipient;
    read_key(recipient, 0, 0, "pass-0");
    bytes cert = certificate(recipient.key);
    unsigned char *certs[] = {cert.data()};
    DWORD lengths[] = {DWORD(cert.size())};
    unsigned char data[] = "secret data";
    unsigned char *envelope = nullptr;
    DWORD envelope_size = 0;
    EXPECT_EQ(KTCtxEnvelopData(f.key, 1, certs, lengths, 3, 1, 0, data, 11, &envelope, &envelope_size),
              KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTCtxEnvelopData(f.context, 1, certs, lengths, 1, 1, 0, data, 11, &envelope, &envelope_size),
              KT_ERROR_BAD_PARAMETER);
    ASSERT_EQ(KTCtxEnvelopData(f.key, 1, certs, lengths, 1, 1, 0, data, 11, &envelope, &envelope_size), 0u);
    bytes sealed = take(envelope, envelope_size);

    unsigned char *opened = nullptr;
    DWORD opened_size = 0;
    KT_SIGN_INFO sender{};
    EXPECT_EQ(KTCtxDevelopData(f.key, nullptr, sealed.data(), sealed.size(), nullptr, 0, &opened, &opened_size,
                               &sender),
              TAVREL_STANDIN_ERROR_CERT_NOT_FOUND);  // not addressed to the sender
    ASSERT_EQ(KTCtxDevelopData(recipient.key, nullptr, sealed.data(), sealed.size(), nullptr, 0, &opened,
                               &opened_size, &sender),
              0u);
    EXPECT_EQ(take(opened, opened_size), bytes(data, data + 11));
    EXPECT_EQ(sender.bFilled, 1);
    KTFreeSenderInfo(&sender);
    sealed.back() ^= 1;
    EXPECT_EQ(KTCtxDevelopData(recipient.key, nullptr, sealed.data(), sealed.size(), nullptr, 0, &opened,
                               &opened_size, &sender),
              TAVREL_STANDIN_ERROR_CRYPTO);
    recipient.release();
}

TEST_F(ContextTest, ServerDynamicKeySessionFromTheKey) {
    bytes cert = certificate(f.key);
    PVOID client = nullptr, server = nullptr;
    unsigned char *hello = nullptr;
    DWORD hello_size = 0;
    ASSERT_EQ(KTClientDynamicKeySessionCreate(600, nullptr, nullptr, cert.data(), cert.size(), &client, &hello,
                                              &hello_size),
              0u);
    bytes message = take(hello, hello_size);
    EXPECT_EQ(KTCtxServerDynamicKeySessionCreate(f.context, 600, message.data(), message.size(), &server),
              KT_ERROR_BAD_PARAMETER);
    ASSERT_EQ(KTCtxServerDynamicKeySessionCreate(f.key, 600, message.data(), message.size(), &server), 0u);

    unsigned char plain[] = "to the server";
    unsigned char *sealed = nullptr, *opened = nullptr;
    DWORD sealed_size = 0, opened_size = 0;
    ASSERT_EQ(KTSessionEncrypt(client, plain, 13, &sealed, &sealed_size), 0u);
    bytes wire = take(sealed, sealed_size);
    ASSERT_EQ(KTSessionDecrypt(server, wire.data(), wire.size(), &opened, &opened_size), 0u);
    EXPECT_EQ(take(opened, opened_size), bytes(plain, plain + 13));
    KTSessionDestroy(server);
    KTSessionDestroy(client);
}

}  // namespace
}  // namespace standin_test
