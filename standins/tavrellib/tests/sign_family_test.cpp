// Signing, verification, hashing, inspection and COSE with the library's own key,
// through the C functions.
#include <openssl/evp.h>

#include "standin_fixture.h"

namespace standin_test {
namespace {

// A binary output in its two forms.
struct forms {
    std::string text;
    bytes binary;
};

std::string take_text(char *text) {
    std::string out = text ? text : "<null>";
    KTFreeMemory(reinterpret_cast<unsigned char *>(text));
    return out;
}

using two_form_call = DWORD (*)(unsigned char *, DWORD, char **, unsigned char **, DWORD *);

class SignFamilyTest : public StandinTest {
  protected:
    // Makes the key of device `dev` the library's own.
    void own_key(DWORD dev) {
        KT_KEY_MEDIA m = media(0, dev, "pass-" + std::to_string(dev));
        ASSERT_EQ(KTReadPrivateKey(&m, nullptr), 0u);
    }

    static forms call(two_form_call fn, const std::string &data, DWORD expected = 0) {
        std::string copy = data;
        char *text = nullptr;
        unsigned char *binary = nullptr;
        DWORD length = 0;
        EXPECT_EQ(fn(reinterpret_cast<unsigned char *>(copy.data()), copy.size(), &text, &binary, &length), expected);
        forms out;
        out.text = take_text(text);
        if (binary) out.binary = take(binary, length);
        return out;
    }

    static DWORD verify(const std::string &data, const forms &signature, bool by_text = false,
                        KT_SIGN_INFO *info = nullptr) {
        std::string copy = data;
        std::string text = signature.text;
        bytes binary = signature.binary;
        KT_SIGN_INFO own{};
        KT_SIGN_INFO *record = info ? info : &own;
        DWORD status =
            KTVerifyData(reinterpret_cast<unsigned char *>(copy.data()), copy.size(), by_text ? text.data() : nullptr,
                         binary.data(), by_text ? 0 : binary.size(), record);
        if (!info) KTFreeSignInfo(&own);
        return status;
    }

    static DWORD raw_verify(const std::string &data, forms signature) {
        std::string copy = data;
        return KTRawVerifyData(reinterpret_cast<unsigned char *>(copy.data()), copy.size(), nullptr,
                               signature.binary.data(), signature.binary.size(), nullptr);
    }

    static bytes sha256(const std::string &data) {
        bytes out(32);
        unsigned size = 0;
        EVP_Digest(data.data(), data.size(), out.data(), &size, EVP_sha256(), nullptr);
        return out;
    }

    static std::string b64(const bytes &data) {
        std::string out((data.size() + 2) / 3 * 4 + 1, '\0');
        out.resize(
            size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), data.data(), int(data.size()))));
        return out;
    }

    static forms sign_hash(DWORD (*fn)(char *, unsigned char *, DWORD, char **, unsigned char **, DWORD *),
                           bytes hash) {
        char *text = nullptr;
        unsigned char *binary = nullptr;
        DWORD length = 0;
        EXPECT_EQ(fn(nullptr, hash.data(), hash.size(), &text, &binary, &length), 0u);
        forms out{take_text(text), binary ? take(binary, length) : bytes()};
        return out;
    }

    static DWORD count(forms s) {
        DWORD n = 99;
        EXPECT_EQ(KTGetSignsCount(nullptr, s.binary.data(), s.binary.size(), &n), 0u);
        return n;
    }

    static forms signer(DWORD index, forms s) {
        char *text = nullptr;
        unsigned char *binary = nullptr;
        DWORD length = 0;
        EXPECT_EQ(KTGetSigner(index, nullptr, s.binary.data(), s.binary.size(), &text, &binary, &length), 0u);
        return forms{take_text(text), binary ? take(binary, length) : bytes()};
    }

    static forms append(forms one, forms previous) {
        char *text = nullptr;
        unsigned char *binary = nullptr;
        DWORD length = 0;
        EXPECT_EQ(KTAppendSigner(nullptr, one.binary.data(), one.binary.size(), nullptr, 0, nullptr,
                                 previous.binary.data(), previous.binary.size(), &text, &binary, &length),
                  0u);
        return forms{take_text(text), binary ? take(binary, length) : bytes()};
    }

    std::string file(const std::string &name, const std::string &content) {
        std::string path = dir + "/" + name;
        write_text(path, content);
        return path;
    }

    std::string file(const std::string &name, const bytes &content) {
        return file(name, std::string(content.begin(), content.end()));
    }
};

TEST_F(SignFamilyTest, SignaturesVerifyInBothFormsAndRefuseTampering) {
    own_key(1);
    forms s = call(KTSignData, "payload");
    EXPECT_EQ(s.text, b64(s.binary));
    KT_SIGN_INFO info{};
    EXPECT_EQ(verify("payload", s, false, &info), 0u);
    EXPECT_EQ(info.bFilled, 1);
    EXPECT_EQ(info.bTimeAvail, 1);
    EXPECT_NE(field(info.pszSubjCN), nullptr);
    KTFreeSignInfo(&info);
    EXPECT_EQ(verify("payload", s, true), 0u);
    EXPECT_EQ(verify("payloaD", s), TAVREL_STANDIN_ERROR_VERIFY);
    EXPECT_EQ(verify("payload", forms{"", {}}, false), KT_ERROR_BAD_PARAMETER);  // neither form
    EXPECT_EQ(verify("payload", forms{"not base64!", {}}, true), KT_ERROR_BAD_PARAMETER);

    // A hash signature is a signature of the data, and the other way round.
    forms by_hash = sign_hash(KTSignHash, sha256("payload"));
    EXPECT_EQ(verify("payload", by_hash), 0u);
    bytes hash = sha256("payload");
    std::string text = b64(hash);
    EXPECT_EQ(KTVerifyHash(text.data(), nullptr, 0, nullptr, s.binary.data(), s.binary.size(), nullptr), 0u);
    hash[0] ^= 1;
    EXPECT_EQ(KTVerifyHash(nullptr, hash.data(), hash.size(), nullptr, s.binary.data(), s.binary.size(), nullptr),
              TAVREL_STANDIN_ERROR_VERIFY);
}

TEST_F(SignFamilyTest, RawFormOnlyForRawVerification) {
    own_key(1);
    forms raw = call(KTRawSignData, "payload");
    forms plain = call(KTSignData, "payload");
    EXPECT_EQ(raw_verify("payload", raw), 0u);
    EXPECT_EQ(raw_verify("payloaD", raw), TAVREL_STANDIN_ERROR_VERIFY);
    EXPECT_EQ(verify("payload", raw), TAVREL_STANDIN_ERROR_VERIFY);
    EXPECT_EQ(raw_verify("payload", plain), TAVREL_STANDIN_ERROR_VERIFY);
    EXPECT_EQ(raw_verify("payload", sign_hash(KTRawSignHash, sha256("payload"))), 0u);

    std::string data = file("data", "file payload"), signature = dir + "/data.sig";
    ASSERT_EQ(KTRawSignFile(data.data(), signature.data()), 0u);
    KT_SIGN_INFO info{};
    EXPECT_EQ(KTRawVerifyFile(data.data(), signature.data(), &info), 0u);
    EXPECT_EQ(info.bFilled, 1);
    KTFreeSignInfo(&info);
    file("data", "changed");
    EXPECT_EQ(KTRawVerifyFile(data.data(), signature.data(), nullptr), TAVREL_STANDIN_ERROR_VERIFY);
    std::string missing = dir + "/missing";
    EXPECT_EQ(KTRawSignFile(missing.data(), signature.data()), TAVREL_STANDIN_ERROR_FILE);
    EXPECT_EQ(KTRawSignFile(nullptr, signature.data()), KT_ERROR_BAD_PARAMETER);
}

TEST_F(SignFamilyTest, SigningNeedsTheOwnKey) {
    struct {
        two_form_call fn;
        const char *name;
    } const signing[] = {{KTSignData, "SignData"}, {KTRawSignData, "RawSignData"}};
    for (const auto &c : signing) EXPECT_EQ(call(c.fn, "x", TAVREL_STANDIN_ERROR_NO_KEY).text, "<null>") << c.name;
    unsigned char *out = nullptr;
    DWORD length = 0;
    unsigned char data[] = "x";
    EXPECT_EQ(KTCOSESignData(1, data, 1, &out, &length), TAVREL_STANDIN_ERROR_NO_KEY);
}

TEST_F(SignFamilyTest, InternalSignatureCarriesItsData) {
    own_key(1);
    for (BOOL append_cert : {1, 0}) {
        std::string data = "inside";
        char *text = nullptr;
        unsigned char *binary = nullptr;
        DWORD length = 0;
        ASSERT_EQ(KTSignDataInternal(append_cert, reinterpret_cast<unsigned char *>(data.data()), data.size(), &text,
                                     &binary, &length),
                  0u);
        KTFreeMemory(binary);
        unsigned char *inside = nullptr;
        DWORD inside_length = 0;
        ASSERT_EQ(KTVerifyDataInternal(text, nullptr, 0, &inside, &inside_length, nullptr), 0u) << append_cert;
        EXPECT_EQ(take(inside, inside_length), bytes(data.begin(), data.end()));
        KTFreeMemory(reinterpret_cast<unsigned char *>(text));
    }
}

TEST_F(SignFamilyTest, HashInPartsEqualsOneStepAndFile) {
    forms one = call(KTHashData, "abcdef");
    ASSERT_EQ(one.binary.size(), 32u);
    EXPECT_EQ(one.text, b64(one.binary));

    unsigned char *binary = nullptr;
    DWORD length = 0;
    char abc[] = "abc", def[] = "def";
    ASSERT_EQ(KTHashDataBeginWithParams(nullptr, 0), 0u);
    ASSERT_EQ(KTHashDataContinue(reinterpret_cast<unsigned char *>(abc), 3), 0u);
    ASSERT_EQ(KTHashDataContinue(reinterpret_cast<unsigned char *>(def), 3), 0u);
    ASSERT_EQ(KTHashDataEnd(nullptr, &binary, &length), 0u);
    EXPECT_EQ(take(binary, length), one.binary);
    EXPECT_EQ(KTHashDataEnd(nullptr, nullptr, &length), KT_ERROR_BAD_PARAMETER);  // ended
    EXPECT_EQ(KTHashDataContinue(reinterpret_cast<unsigned char *>(abc), 3), KT_ERROR_BAD_PARAMETER);

    std::string path = file("data", "abcdef");
    ASSERT_EQ(KTHashFile(path.data(), nullptr, &binary, &length), 0u);
    EXPECT_EQ(take(binary, length), one.binary);

    // Parameters name the hash: "4" SHA-256, with or without its NUL.
    unsigned char sha256_params[] = "4";
    std::string data = "abcdef";
    ASSERT_EQ(KTHashDataWithParams(sha256_params, 2, reinterpret_cast<unsigned char *>(data.data()), data.size(),
                                   nullptr, &binary, &length),
              0u);
    EXPECT_EQ(take(binary, length), sha256("abcdef"));
    ASSERT_EQ(KTHashFileWithParams(sha256_params, 1, path.data(), nullptr, &binary, &length), 0u);
    EXPECT_EQ(take(binary, length), sha256("abcdef"));
    unsigned char bad_params[] = "9";
    EXPECT_EQ(KTHashDataBeginWithParams(bad_params, 1), KT_ERROR_BAD_PARAMETER);
}

TEST_F(SignFamilyTest, SignaturesBuiltSignerBySignerAreInspected) {
    own_key(0);
    forms first = call(KTSignData, "shared data");
    own_key(1);
    forms second = call(KTSignData, "shared data");

    forms empty = call(KTCreateEmptySign, "shared data");
    EXPECT_EQ(count(empty), 0u);
    forms both = append(signer(0, second), append(signer(0, first), empty));
    ASSERT_EQ(count(both), 2u);

    std::string text = both.text;
    unsigned char *data = nullptr;
    DWORD data_length = 0;
    ASSERT_EQ(KTGetDataFromSignedData(text.data(), nullptr, 0, &data, &data_length), 0u);
    bytes shared = take(data, data_length);
    EXPECT_EQ(std::string(shared.begin(), shared.end()), "shared data");
    BOOL available = 0;
    EXPECT_EQ(KTIsDataInSignedDataAvailable(nullptr, both.binary.data(), both.binary.size(), &available), 0u);
    EXPECT_EQ(available, 1);
    EXPECT_EQ(KTIsDataInSignedDataAvailable(nullptr, first.binary.data(), first.binary.size(), &available), 0u);
    EXPECT_EQ(available, 0);
    EXPECT_EQ(KTGetDataFromSignedData(nullptr, first.binary.data(), first.binary.size(), &data, &data_length),
              TAVREL_STANDIN_ERROR_CRYPTO);

    // Each signer: its own certificate, CAdES-BES, and it verifies with the data inside,
    // on time too unless its certificate has run out.
    std::string serials[2];
    for (DWORD i = 0; i < 2; ++i) {
        PKT_CERT_INFO_EX info = nullptr;
        unsigned char *cert = nullptr;
        DWORD cert_length = 0;
        ASSERT_EQ(KTGetSignerInfo(i, nullptr, both.binary.data(), both.binary.size(), &info, &cert, &cert_length), 0u);
        ASSERT_NE(info, nullptr);
        serials[i] = info->pszSerial;
        bool expired = info->stCertEndTime.wYear == 2023;  // device 0's; signers are kept in DER order
        KTFreeCertificateInfoEx(info);
        EXPECT_GT(take(cert, cert_length).size(), 100u);
        DWORD type = 0;
        EXPECT_EQ(KTGetSignType(i, nullptr, both.binary.data(), both.binary.size(), &type), 0u);
        EXPECT_EQ(type, 1u);
        ASSERT_EQ(KTVerifyDataInternalOnTimeEx(i, nullptr, both.binary.data(), both.binary.size(), nullptr, 0, 0,
                                               nullptr, &data_length, nullptr),
                  expired ? TAVREL_STANDIN_ERROR_VERIFY : 0u);
    }
    EXPECT_NE(serials[0], serials[1]);
    DWORD type = 0;
    EXPECT_EQ(KTGetSignType(2, nullptr, both.binary.data(), both.binary.size(), &type), KT_ERROR_BAD_PARAMETER);
    EXPECT_EQ(KTGetSigner(2, nullptr, both.binary.data(), both.binary.size(), nullptr, nullptr, &data_length),
              KT_ERROR_BAD_PARAMETER);
    unsigned char junk[] = "junk";
    DWORD n = 0;
    EXPECT_EQ(KTGetSignsCount(nullptr, junk, 4, &n), TAVREL_STANDIN_ERROR_CRYPTO);

    // The file variants read the binary or the text form.
    for (const std::string &content : {std::string(both.binary.begin(), both.binary.end()), both.text + "\n"}) {
        std::string path = file("both.p7s", content);
        EXPECT_EQ(KTGetFileSignsCount(path.data(), &n), 0u);
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(KTIsDataInSignedFileAvailable(path.data(), &available), 0u);
        EXPECT_EQ(KTGetFileSignType(1, path.data(), &type), 0u);
        PKT_CERT_INFO_EX info = nullptr;
        ASSERT_EQ(KTGetFileSignerInfo(1, path.data(), &info, nullptr, &data_length), 0u);
        EXPECT_EQ(std::string(info->pszSerial), serials[1]);
        KTFreeCertificateInfoEx(info);
        char *signer_text = nullptr;
        ASSERT_EQ(KTGetFileSigner(0, path.data(), &signer_text, nullptr, &data_length), 0u);
        EXPECT_EQ(take_text(signer_text), signer(0, both).text);
    }
}

TEST_F(SignFamilyTest, OnTimeVerificationChecksTheValidityWindow) {
    own_key(0);  // valid 2021-03-01T08:05:09 to 2023-03-01T08:05:09
    forms s = call(KTSignData, "dated");
    bytes hash = sha256("dated");
    struct {
        SYSTEMTIME time;
        bool given;
        DWORD expected;
    } const cases[] = {
        {{2022, 6, 0, 15, 12, 0, 0, 0}, true, 0},
        {{2021, 3, 0, 1, 8, 5, 10, 0}, true, 0},
        {{2021, 3, 0, 1, 8, 5, 8, 0}, true, TAVREL_STANDIN_ERROR_VERIFY},
        {{2024, 1, 0, 1, 0, 0, 0, 0}, true, TAVREL_STANDIN_ERROR_VERIFY},
        {{2022, 13, 0, 1, 0, 0, 0, 0}, true, KT_ERROR_BAD_PARAMETER},
        {{}, false, TAVREL_STANDIN_ERROR_VERIFY},  // at the signing time, today
    };
    for (const auto &c : cases) {
        SYSTEMTIME time = c.time;
        std::string data = "dated";
        KT_SIGN_INFO info{};
        EXPECT_EQ(KTVerifyDataOnTimeEx(reinterpret_cast<unsigned char *>(data.data()), data.size(), 0, nullptr,
                                       s.binary.data(), s.binary.size(), c.given ? &time : nullptr, 0, 0, &info),
                  c.expected)
            << time.wYear;
        EXPECT_EQ(info.bFilled, c.expected == 0 ? 1 : 0);
        KTFreeSignInfo(&info);
        EXPECT_EQ(KTVerifyHashOnTimeEx(nullptr, hash.data(), hash.size(), 0, nullptr, s.binary.data(), s.binary.size(),
                                       c.given ? &time : nullptr, 0, 0, nullptr),
                  c.expected);
    }
}

TEST_F(SignFamilyTest, CoseSignVerifyAndKeyIdentifier) {
    own_key(1);
    forms plain = call(KTSignData, "x");
    PKT_CERT_INFO_EX info = nullptr;
    DWORD length = 0;
    ASSERT_EQ(KTGetSignerInfo(0, nullptr, plain.binary.data(), plain.binary.size(), &info, nullptr, &length), 0u);
    std::string key_id = info->pszPublicKeyID;
    KTFreeCertificateInfoEx(info);

    std::string data = "cose payload";
    unsigned char *message = nullptr;
    ASSERT_EQ(KTCOSESignData(1, reinterpret_cast<unsigned char *>(data.data()), data.size(), &message, &length), 0u);
    bytes signed_message = take(message, length);
    EXPECT_EQ(signed_message[0], 0xD2);  // tag 18, COSE_Sign1

    unsigned char *payload = nullptr;
    KT_SIGN_INFO signer{};
    ASSERT_EQ(KTCOSEVerifyData(signed_message.data(), signed_message.size(), nullptr, 0, &payload, &length, &signer),
              0u);
    EXPECT_EQ(take(payload, length), bytes(data.begin(), data.end()));
    EXPECT_EQ(signer.bFilled, 1);
    KTFreeSignInfo(&signer);
    char *kid = nullptr;
    ASSERT_EQ(KTCOSEGetKeyIDFromSignedData(signed_message.data(), signed_message.size(), &kid), 0u);
    EXPECT_EQ(take_text(kid), key_id);

    bytes tampered = signed_message;
    tampered[tampered.size() - 70] ^= 1;  // inside the payload
    EXPECT_EQ(KTCOSEVerifyData(tampered.data(), tampered.size(), nullptr, 0, nullptr, &length, nullptr),
              TAVREL_STANDIN_ERROR_VERIFY);
    unsigned char junk[] = "junk";
    EXPECT_EQ(KTCOSEGetKeyIDFromSignedData(junk, 4, &kid), TAVREL_STANDIN_ERROR_CRYPTO);
    EXPECT_EQ(KTCOSESignData(2, junk, 4, &message, &length), TAVREL_STANDIN_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(KTCOSESignData(7, junk, 4, &message, &length), KT_ERROR_BAD_PARAMETER);

    std::string in = file("in", data), out = dir + "/in.cose", back = dir + "/back";
    ASSERT_EQ(KTCOSESignFile(3, in.data(), out.data()), 0u);
    ASSERT_EQ(KTCOSEVerifyFile(out.data(), nullptr, 0, back.data(), nullptr), 0u);
    EXPECT_EQ(read_text(back), data);
    ASSERT_EQ(KTCOSEGetKeyIDFromSignedFile(out.data(), &kid), 0u);
    EXPECT_EQ(take_text(kid), key_id);
    EXPECT_EQ(KTCOSEVerifyFile(in.data(), nullptr, 0, nullptr, nullptr), TAVREL_STANDIN_ERROR_CRYPTO);
}

TEST_F(SignFamilyTest, RequestedNullOutputsStillSucceed) {
    own_key(1);
    forms s = call(KTSignData, "x");
    ASSERT_EQ(TavrelStandin_SetNullOutput("KTGetSignerInfo", 4), 0);
    PKT_CERT_INFO_EX info = reinterpret_cast<PKT_CERT_INFO_EX>(&s);
    unsigned char *cert = nullptr;
    DWORD length = 0;
    ASSERT_EQ(KTGetSignerInfo(0, nullptr, s.binary.data(), s.binary.size(), &info, &cert, &length), 0u);
    EXPECT_EQ(info, nullptr);
    EXPECT_GT(take(cert, length).size(), 0u);

    ASSERT_EQ(TavrelStandin_SetNullOutput("KTSignData", 3), 0);
    forms half = call(KTSignData, "x");
    EXPECT_NE(half.text, "<null>");
    EXPECT_TRUE(half.binary.empty());
}

}  // namespace
}  // namespace standin_test
