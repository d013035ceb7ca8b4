// The table converter of Windows-1251 against iconv's own conversion.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "tavrel/cp1251.h"

namespace {

using Zarn::Support::VekCli::Tavrel::Cp1251ToUtf8;

struct converted {
    std::string text;
    size_t sourceLeft;
    size_t targetLeft;
};

converted _T_by_iconv(std::string source, size_t room) {
    iconv_t cd = iconv_open("UTF-8", "CP1251");
    EXPECT_NE(reinterpret_cast<iconv_t>(-1), cd);
    std::string target(room, '\0');
    char *in = &source[0], *out = &target[0];
    size_t sourceLeft = source.size(), targetLeft = room;
    iconv(cd, &in, &sourceLeft, &out, &targetLeft);
    iconv_close(cd);
    target.resize(room - targetLeft);
    return converted{target, sourceLeft, targetLeft};
}

converted _T_by_table(const std::string &source, size_t room) {
    std::string target(room, '\0');
    const auto done = Cp1251ToUtf8(source.data(), source.size(), &target[0], room);
    target.resize(room - done.targetLeft);
    return converted{target, done.sourceLeft, done.targetLeft};
}

void _T_expect_as_iconv(const std::string &source, size_t room) {
    const converted want = _T_by_iconv(source, room), got = _T_by_table(source, room);
    EXPECT_EQ(want.text, got.text) << "room " << room;
    EXPECT_EQ(want.sourceLeft, got.sourceLeft) << "room " << room;
    EXPECT_EQ(want.targetLeft, got.targetLeft) << "room " << room;
}

TEST(Cp1251, EveryByteConvertsAsIconvConvertsIt) {
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        _T_expect_as_iconv(std::string(1, static_cast<char>(byte)), 8);
    }
}

// Whole texts, and every room from none to enough: a character that does not fit whole
// stops the conversion, as does the undefined byte.
TEST(Cp1251, TextsStopWhereIconvStops) {
    std::string everyByte;
    for (int byte = 1; byte < 256; ++byte) everyByte += static_cast<char>(byte);
    const std::vector<std::string> texts = {
        "",
        "\xE5.\xEA\xEB\xFE\xF7 \xC2\xC5\xCA \xCC\xEE\xE4\xF0\xE0-1\xCA",  // a media type
        "\x88\xB9\x80",                                                     // three-byte characters
        "ab\x98" "cd",                                                      // the undefined byte
        everyByte,
    };
    for (const std::string &text : texts) {
        SCOPED_TRACE(text);
        for (size_t room = 0; room <= 3 * text.size() + 1; ++room) _T_expect_as_iconv(text, room);
    }
}

}  // namespace
