// Shared set-up of the stand-in's tests: a temporary folder with its own world file,
// the library initialised on it, and helpers for media, keys and buffers.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kt_api.h"
#include "kt_record_fields.h"
#include "tavrel_standin.h"

namespace standin_test {

using bytes = std::vector<unsigned char>;

// The accepted type name in UTF-8 and in Windows-1251.
inline const std::string accepted_type_utf8 = "е.ключ ВЕК Модра-1К";
inline const std::string accepted_type_cp1251 =
    "\xE5.\xEA\xEB\xFE\xF7 \xC2\xC5\xCA \xCC\xEE\xE4\xF0\xE0-1\xCA";

inline std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A text field of a packed record, by value: gtest must not bind a reference to it.
inline const char *field(const char *value) { return value; }

// The text fields of a record the library filled that are null, by name: none may be.
template <class Record, size_t N>
std::string null_texts(const Record &record, const kt_records::kt_field (&fields)[N]) {
    std::string nulls;
    for (const kt_records::kt_field &f : fields) {
        if (f.kind != kt_records::KT_FIELD_TEXT_PTR) continue;
        const char *text = nullptr;
        std::memcpy(&text, reinterpret_cast<const unsigned char *>(&record) + f.offset, sizeof text);
        if (!text) nulls += std::string(" ") + f.name;
    }
    return nulls;
}

inline KT_KEY_MEDIA media(DWORD type, DWORD dev, const std::string &password) {
    KT_KEY_MEDIA m{};
    m.dwTypeIndex = type;
    m.dwDevIndex = dev;
    std::strncpy(m.szPassword, password.c_str(), sizeof m.szPassword - 1);
    return m;
}

// A world with the accepted type at index 0:
//   device 0 "SER-0" password "pass-0", key valid 2021-03-01T08:05:09 .. 2023-03-01T08:05:09
//   device 1 "SER-1" password "pass-1", key
//   device 2 "SER-2" password "pass-2", no key
inline const char *const test_world = R"({"types": [
  {"name": "е.ключ ВЕК Модра-1К", "devices": [
    {"serial": "SER-0", "password": "pass-0", "key": "generate",
     "validity": {"not-before": "2021-03-01T08:05:09", "not-after": "2023-03-01T08:05:09"}},
    {"serial": "SER-1", "password": "pass-1", "key": "generate"},
    {"serial": "SER-2", "password": "pass-2"}
  ]}
]})";

// Each test: its own folder and world, controls reset, library initialised; at the
// end the library is finalised and nothing the test took may be left outstanding.
class StandinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavrel-standin-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        world_path = dir + "/world.json";
        TavrelStandin_Reset();
        TavrelStandin_SetWorldPath(world_path.c_str());
        write_text(world_path, world_json());
        if (initialise()) {
            ASSERT_EQ(KTInitialize(), 0u);
        }
    }

    void TearDown() override {
        KTFinalize();
        TavrelStandinCounters c = TavrelStandin_GetCounters();
        EXPECT_EQ(c.buffers, 0u);
        EXPECT_EQ(c.records, 0u);
        EXPECT_EQ(c.contexts, 0u);
        EXPECT_EQ(c.privateKeys, 0u);
        TavrelStandin_Reset();
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    virtual std::string world_json() { return test_world; }
    virtual bool initialise() { return true; }

    // A context with the key of device `dev` of type 0 read into it.
    struct key_fixture {
        PVOID context = nullptr;
        PVOID key = nullptr;
        ~key_fixture() { release(); }
        void release() {
            if (key) KTCtxFreePrivateKey(key);
            if (context) KTCtxFree(context);
            key = context = nullptr;
        }
    };

    void read_key(key_fixture &f, DWORD type, DWORD dev, const std::string &password) {
        ASSERT_EQ(KTCtxCreate(&f.context), 0u);
        KT_KEY_MEDIA m = media(type, dev, password);
        KT_CERT_OWNER_INFO owner{};
        ASSERT_EQ(KTCtxReadPrivateKey(f.context, &m, &f.key, &owner), 0u);
        KTCtxFreeCertOwnerInfo(f.context, &owner);
    }

    // Library buffer copied out and released.
    static bytes take(unsigned char *buffer, DWORD size) {
        bytes out(buffer, buffer + size);
        KTFreeMemory(buffer);
        return out;
    }

    static bytes sign(PVOID key, const std::string &data, BOOL external = 1, BOOL append_cert = 0) {
        unsigned char *signature = nullptr;
        DWORD size = 0;
        std::string copy = data;
        EXPECT_EQ(KTCtxSignData(key, 1, reinterpret_cast<unsigned char *>(copy.data()), copy.size(), external,
                                append_cert, &signature, &size),
                  0u);
        return signature ? take(signature, size) : bytes();
    }

    static bytes certificate(PVOID key) {
        unsigned char *cert = nullptr;
        DWORD size = 0;
        EXPECT_EQ(KTCtxGetOwnCertificate(key, 1, 1, nullptr, &cert, &size), 0u);
        return cert ? take(cert, size) : bytes();
    }

    // Verifies; on success the signer record is released and its time returned.
    static DWORD verify(const std::string &data, bytes signature, bytes cert, SYSTEMTIME *time = nullptr) {
        std::string copy = data;
        KT_SIGN_INFO info{};
        DWORD status = KTVerifyDataWithParams(reinterpret_cast<unsigned char *>(copy.data()), copy.size(), 0, nullptr,
                                              signature.data(), signature.size(), 0, nullptr, 0,
                                              cert.empty() ? nullptr : cert.data(), cert.size(), 0, &info);
        if (status == 0) {
            EXPECT_EQ(info.bFilled, 1);
            EXPECT_EQ(info.bTimeAvail, 1);
            if (time) *time = info.Time;
        } else {
            EXPECT_EQ(info.bFilled, 0);
        }
        KTFreeSignInfo(&info);
        return status;
    }

    std::string dir;
    std::string world_path;
};

}  // namespace standin_test
