#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "kt_api.h"

extern "C" size_t kt_api_c_table_slots(void);  // c_client.c

namespace {

size_t slot_of(const char *name) {
    for (size_t i = 0; i < kt_function_count; ++i)
        if (std::strcmp(kt_function_names[i], name) == 0) return i;
    return kt_function_count;
}

TEST(FunctionTable, NamesAreDistinctLibraryNames) {
    std::set<std::string> seen;
    for (const char *name : kt_function_names) {
        EXPECT_EQ(0, std::strncmp(name, "KT", 2)) << name;
        EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
    }
    EXPECT_EQ(541u, seen.size());
}

TEST(FunctionTable, FixedSlots) {
    const struct { const char *name; size_t slot; } fixed[] = {
        {"KTInitialize", 0},          {"KTFreeCertOwnerInfo", 10}, {"KTFreeSignInfo", 13},
        {"KTFreeMemory", 14},         {"KTGetErrorDesc", 15},      {"KTFreeCertificateInfo", 54},
        {"KTFreeSenderInfo", 74},     {"KTFreeCertificateInfoEx", 107},
        {"KTFreeCRInfo", 117},        {"KTGeneratePrivateKeyEx", 144},
        {"KTGetErrorLangDesc", 145},  {"KTCtxCreate", 227},        {"KTFreeCertificatesArray", 283},
        {"KTVerifyDataWithParams", 407}, {"KTUncompressFile", 540},
    };
    for (const auto &f : fixed) EXPECT_EQ(f.slot, slot_of(f.name)) << f.name;
}

TEST(FunctionTable, StructMembersFollowSlotOrder) {
    EXPECT_EQ(0u, offsetof(KT_INTERFACE, KTInitialize));
    EXPECT_EQ(15 * sizeof(void *), offsetof(KT_INTERFACE, KTGetErrorDesc));
    EXPECT_EQ(227 * sizeof(void *), offsetof(KT_INTERFACE, KTCtxCreate));
    EXPECT_EQ(540 * sizeof(void *), offsetof(KT_INTERFACE, KTUncompressFile));
}

TEST(FunctionTable, CSeesTheSameTable) { EXPECT_EQ(kt_function_count, kt_api_c_table_slots()); }

}  // namespace
