// A library that fills the owner record of a key read without marking it filled: the
// engine releases the record after every successful read all the same. The test
// interposes the library's read and release functions to clear and restore the mark.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "kt_api.h"
#include "log_capture.h"
#include "tavrel_standin.h"
#include "vek_engine.h"
#include "vek_test_support.h"

namespace {

PKT_CERT_OWNER_INFO _s_unmarked = nullptr;  // the record last handed out without its mark
int _s_unmarkedCount = 0;
int _s_releasedCount = 0;  // of those, released

template <class Function>
Function next_definition(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

DWORD unmark(DWORD status, PKT_CERT_OWNER_INFO info) {
    if (status == KT_ERROR_NONE && info && info->bFilled) {
        info->bFilled = 0;
        _s_unmarked = info;
        ++_s_unmarkedCount;
    }
    return status;
}

}  // namespace

extern "C" DWORD KTCtxReadPrivateKey(PVOID context, PKT_KEY_MEDIA media, PVOID *privateKey, PKT_CERT_OWNER_INFO info) {
    static const auto real = next_definition<decltype(&KTCtxReadPrivateKey)>("KTCtxReadPrivateKey");
    return unmark(real(context, media, privateKey, info), info);
}

extern "C" DWORD KTCtxReadPrivateKeyBinary(PVOID context, unsigned char *key, DWORD keySize, char *password,
                                           PVOID *privateKey, PKT_CERT_OWNER_INFO info) {
    static const auto real = next_definition<decltype(&KTCtxReadPrivateKeyBinary)>("KTCtxReadPrivateKeyBinary");
    return unmark(real(context, key, keySize, password, privateKey, info), info);
}

// The stand-in frees only what a marked record holds: the mark goes back first.
extern "C" void KTCtxFreeCertOwnerInfo(PVOID context, PKT_CERT_OWNER_INFO info) {
    static const auto real = next_definition<decltype(&KTCtxFreeCertOwnerInfo)>("KTCtxFreeCertOwnerInfo");
    if (info && info == _s_unmarked) {
        info->bFilled = 1;
        _s_unmarked = nullptr;
        ++_s_releasedCount;
    }
    real(context, info);
}

namespace {

TEST(UnmarkedOwnerRecord, IsReleasedAfterEverySuccessfulRead) {
    vek_test::temp_dir dir;
    TavrelStandin_Reset();
    TavrelStandin_SetWorldPath(dir.write("world.json", vek_test::default_world()).c_str());
    ASSERT_EQ(0u, KTInitialize());
    const std::string keyFile = dir.file("key.p12");
    ASSERT_TRUE(vek_test::make_key_file(keyFile, "file-pass"));
    for (const std::string &conf : {vek_test::device_conf(), vek_test::file_conf(keyFile, "file-pass")}) {
        SCOPED_TRACE(conf);
        _s_unmarkedCount = _s_releasedCount = 0;
        EXPECT_NE(nullptr, Zarn::Support::Crypto::Vek::Engine__Create(
                               Zarn::Support::Crypto::Vek::Engine__ReadSource(dir.write("conf.json", conf).c_str())));
        EXPECT_EQ(1, _s_unmarkedCount);
        EXPECT_EQ(1, _s_releasedCount);
        EXPECT_EQ(0u, TavrelStandin_GetCounters().records);
    }
    KTFinalize();
    TavrelStandin_Reset();
}

}  // namespace
