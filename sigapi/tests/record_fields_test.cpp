#include <cstring>
#include <set>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "kt_record_fields.h"

namespace {

using namespace kt_records;

size_t natural_end(const kt_record &r) {
    const kt_field &last = r.fields[r.field_count - 1];
    return last.offset + last.size;
}

TEST(RecordFields, SixteenRecordsWith282Fields) {
    size_t fields = 0;
    for (const kt_record &r : all) fields += r.field_count;
    EXPECT_EQ(16u, sizeof(all) / sizeof(all[0]));
    EXPECT_EQ(282u, fields);
}

TEST(RecordFields, FieldsTileTheRecord) {
    for (const kt_record &r : all) {
        std::set<std::string> names;
        size_t end = 0;
        for (size_t i = 0; i < r.field_count; ++i) {
            const kt_field &f = r.fields[i];
            EXPECT_TRUE(names.insert(f.name).second) << r.name << "." << f.name;
            if (std::strcmp(r.name, "KT_KEY_MEDIA") != 0) {
                EXPECT_EQ(end, f.offset) << r.name << "." << f.name;
            }
            EXPECT_GE(f.offset, end) << r.name << "." << f.name;
            end = f.offset + f.size;
        }
        if (std::strcmp(r.name, "KT_KEY_MEDIA") == 0) {
            EXPECT_EQ(81u, natural_end(r));
            EXPECT_EQ(88u, r.size);
        } else {
            EXPECT_EQ(r.size, end) << r.name;
        }
    }
}

TEST(RecordFields, KindCountsOverAllRecords) {
    size_t counts[KT_FIELD_CERT_LIST + 1] = {};
    for (const kt_record &r : all)
        for (size_t i = 0; i < r.field_count; ++i) ++counts[r.fields[i].kind];
    EXPECT_EQ(146u, counts[KT_FIELD_TEXT_PTR]);
    EXPECT_EQ(41u, counts[KT_FIELD_TEXT_ARRAY]);
    EXPECT_EQ(34u, counts[KT_FIELD_INT]);
    EXPECT_EQ(29u, counts[KT_FIELD_ULONG]);
    EXPECT_EQ(19u, counts[KT_FIELD_TIME]);
    EXPECT_EQ(8u, counts[KT_FIELD_WORD]);
    EXPECT_EQ(4u, counts[KT_FIELD_ULONGLONG]);
    EXPECT_EQ(1u, counts[KT_FIELD_CERT_LIST]);
}

TEST(RecordFields, AliasesNameOneType) {
    static_assert(std::is_same_v<KT_SIGN_INFO, KT_ENVELOP_INFO>);
    static_assert(std::is_same_v<PKT_SIGN_INFO, PKT_ENVELOP_INFO>);
    static_assert(std::is_same_v<PPKT_CERT_INFO_EX, KT_CERT_INFO_EX **>);
    static_assert(std::is_same_v<PSYSTEMTIME, _SYSTEMTIME *>);
    SUCCEED();
}

}  // namespace
