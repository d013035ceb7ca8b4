// Two threads at once, as the plug-in's worker and pool do: signing and hashing on
// separate contexts over the same key, and reading the same key at once.
#include <atomic>
#include <chrono>
#include <thread>

#include "standin_fixture.h"

namespace standin_test {
namespace {

using ThreadsTest = StandinTest;

TEST_F(ThreadsTest, SigningAndHashingConcurrently) {
    key_fixture signer, hasher;
    read_key(signer, 0, 0, "pass-0");
    read_key(hasher, 0, 0, "pass-0");
    bytes cert = certificate(signer.key);
    std::atomic<int> failures{0};

    std::thread sign_thread([&] {
        for (int i = 0; i < 40; ++i) {
            std::string data = "request " + std::to_string(i);
            bytes signature = sign(signer.key, data);
            if (verify(data, signature, cert) != 0) ++failures;
        }
    });
    std::thread hash_thread([&] {
        for (int i = 0; i < 40; ++i) {
            std::string data = "block " + std::to_string(i);
            unsigned char *hash = nullptr;
            DWORD size = 0;
            if (KTCtxHashData(hasher.context, 4, nullptr, 0, reinterpret_cast<unsigned char *>(data.data()),
                              data.size(), &hash, &size) != 0 || size != 32)
                ++failures;
            KTFreeMemory(hash);
            bytes signature = sign(hasher.key, data);
            char text[272];
            if (signature.empty() || KTEnumKeyMediaDevices(0, 1, text) != 0) ++failures;
        }
    });
    sign_thread.join();
    hash_thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(TavrelStandin_CallCount("KTCtxSignData"), 80u);
}

// Each round starts from a freshly loaded world, so both threads meet a key (and its
// certificate) that nobody has read before.
TEST_F(ThreadsTest, ReadingOneKeyConcurrently) {
    std::atomic<int> failures{0};
    for (int round = 0; round < 8; ++round) {
        KTFinalize();
        ASSERT_EQ(KTInitialize(), 0u);
        std::atomic<int> waiting{2};
        auto reader = [&] {
            key_fixture f;
            KT_KEY_MEDIA m = media(0, 1, "pass-1");
            KT_CERT_OWNER_INFO owner{};
            PKT_CERT_INFO_EX info = nullptr;
            if (KTCtxCreate(&f.context) != 0) ++failures;
            --waiting;
            while (waiting > 0) std::this_thread::yield();
            if (KTCtxReadPrivateKey(f.context, &m, &f.key, &owner) != 0 || !owner.pszSubjCN) ++failures;
            KTCtxFreeCertOwnerInfo(f.context, &owner);
            if (KTCtxGetOwnCertificate(f.key, 1, 1, &info, nullptr, nullptr) != 0 || !info->pszFingerprint)
                ++failures;
            KTFreeCertificateInfoEx(info);
        };
        std::thread first(reader), second(reader);
        first.join();
        second.join();
    }
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(ThreadsTest, DelayHoldsNoLock) {
    key_fixture f;
    read_key(f, 0, 0, "pass-0");
    ASSERT_EQ(TavrelStandin_SetDelay("KTCtxSignData", 800), 0);
    std::atomic<bool> signing{false};
    std::thread slow([&] {
        signing = true;
        sign(f.key, "slow");
    });
    while (!signing) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Another call, and a world change, finish while the signer sleeps.
    auto start = std::chrono::steady_clock::now();
    KT_KEY_MEDIA m = media(0, 1, "pass-1");
    EXPECT_EQ(KTDestroyPrivateKey(&m), 0u);
    unsigned char data[1] = {0}, *hash = nullptr;
    DWORD size = 0;
    EXPECT_EQ(KTCtxHashData(f.context, 4, nullptr, 0, data, 1, &hash, &size), 0u);
    KTFreeMemory(hash);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    slow.join();
}

}  // namespace
}  // namespace standin_test
