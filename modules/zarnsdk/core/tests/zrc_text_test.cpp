#include "zarn/support/zrc_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "zarn/support/exceptions.h"

namespace {

using namespace Zarn::Support;
using Pieces = std::vector<std::string>;

TEST(TextSplit, SkipsEmptyPiecesAndAppends) {
    struct Row {
        std::string text;
        char delimiter;
        Pieces expected;
    };
    const std::vector<Row> rows = {
        {"a==b", '=', {"a", "b"}}, {"=", '=', {}},      {"  a  b ", ' ', {"a", "b"}},    {"", '=', {}},
        {"abc", '=', {"abc"}},     {"=x=", '=', {"x"}}, {"k=v=w", '=', {"k", "v", "w"}},
    };
    for (const Row &row : rows) {
        Pieces pieces;
        TextSplit(row.text, row.delimiter, pieces);
        EXPECT_EQ(row.expected, pieces) << "<" << row.text << ">";
    }
    Pieces kept = {"old"};
    TextSplit("a b", ' ', kept);
    EXPECT_EQ((Pieces{"old", "a", "b"}), kept);
}

TEST(TextJoinAndTrim, Table) {
    EXPECT_EQ("", TextJoin(',', {}));
    EXPECT_EQ("a", TextJoin(',', {"a"}));
    EXPECT_EQ("a,,b", TextJoin(',', {"a", "", "b"}));

    struct Row {
        std::string text, chars, both, left, right;
    };
    const std::vector<Row> rows = {
        {" \tab c\t ", " \t", "ab c", "ab c\t ", " \tab c"},
        {"xxx", "x", "", "", ""},
        {"", " ", "", "", ""},
        {"abc", "", "abc", "abc", "abc"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.both, TextTrim(row.text, row.chars)) << row.text;
        EXPECT_EQ(row.left, TextTrimL(row.text, row.chars)) << row.text;
        EXPECT_EQ(row.right, TextTrimR(row.text, row.chars)) << row.text;
    }
}

TEST(TextUtf8, RoundTripsCyrillic) {
    const std::wstring wide = L"\u0435.\u043a\u043b\u044e\u0447 \u0412\u0415\u041a-1\u041a";
    const std::string utf8 = TextEncodeUtf8(wide.c_str());
    EXPECT_EQ("\xD0\xB5.\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87 \xD0\x92\xD0\x95\xD0\x9A-1\xD0\x9A", utf8);

    wchar_t back[32];
    EXPECT_TRUE(TextDecodeUtf8(back, 32, utf8.c_str(), 0));
    EXPECT_EQ(wide, std::wstring(back));
    EXPECT_TRUE(TextDecodeUtf8(back, 32, utf8.c_str(), 2));  // an explicit size stops early
    EXPECT_EQ(L"\u0435", std::wstring(back));
    EXPECT_EQ("", TextEncodeUtf8(L""));
}

TEST(TextUtf8, DecodeRefusesBadInputAndShortTargets) {
    log_capture::clear();
    wchar_t target[4];
    EXPECT_THROW(TextDecodeUtf8(target, 4, "\xFF\xFE", 0), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "TextDecodeUtf8", "fail: iconv (source-left:"));
    EXPECT_THROW(TextDecodeUtf8(target, 4, "abcd", 0), internal_error);  // no room for the NUL
    EXPECT_THROW(TextDecodeUtf8(target, 4, "abcdefgh", 0), internal_error);
    EXPECT_TRUE(TextDecodeUtf8(target, 4, "abc", 0));
    EXPECT_EQ(L"abc", std::wstring(target));
}

TEST(TextDecode, ParamValueSplitsAtTheFirstDelimiter) {
    struct Row {
        std::string text, name, value;
    };
    const std::vector<Row> rows = {
        {" key = value ", "key", "value"},
        {"k=v=w", "k", "v=w"},
        {"\tname\t", "name", ""},
        {"=v", "", "v"},
    };
    for (const Row &row : rows) {
        std::string name = "x", value = "y";
        TextDecodeParamValue(row.text, name, value, '=');
        EXPECT_EQ(row.name, name) << row.text;
        EXPECT_EQ(row.value, value) << row.text;
    }
}

TEST(TextDecode, ValueNeedsADelimiterAndAValue) {
    EXPECT_EQ("v w ", TextDecodeValue("k: \tv w ", ':'));
    log_capture::clear();
    EXPECT_THROW(TextDecodeValue("novalue", ':'), params_error);
    EXPECT_EQ(1u, log_capture::count("TextDecodeValue", "fail: find (text:<novalue>, delim:<:>)"));
    EXPECT_THROW(TextDecodeValue("k: \t", ':'), params_error);
    EXPECT_EQ(1u, log_capture::count("TextDecodeValue", "fail: value absent (text:<k: \t>, delim:<:>)"));
}

TEST(TextCase, ByteWiseAsciiOnly) {
    EXPECT_EQ("ABC-1\xD0\xBA", TextToUpper("aBc-1\xD0\xBA"));
    EXPECT_EQ("abc-1\xD0\x9A", TextToLower("aBC-1\xD0\x9A"));
}

TEST(TextTransPlate, ReplacesCyrillicCapitalLookAlikesOnly) {
    EXPECT_EQ(L"ABCEHIKMOPTX",
              TextTransPlate(L"\u0410\u0412\u0421\u0415\u041d\u0406\u041a\u041c\u041e\u0420\u0422\u0425"));
    const std::wstring untouched = L"\u0430\u0432\u0441\u0435\u043a \u0414\u0416 abc";  // lower case, other capitals
    EXPECT_EQ(untouched, TextTransPlate(untouched));
    EXPECT_EQ(L"VM1K-0001", TextTransPlate(L"V\u041c1\u041a-0001"));
}

}  // namespace
