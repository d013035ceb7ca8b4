#include "zarn/support/zrc_text.h"

#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <map>

#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {

namespace {

const char kBlanks[] = " \t";

// Converts inBytes of in with a converter already opened; returns the bytes written.
// Throws internal_error when input is left over or the output has no room.
size_t _T_iconv_all(iconv_t cd, const char *function, const char *in, size_t inBytes, char *out, size_t outBytes) {
    char *source = const_cast<char *>(in);
    char *target = out;
    size_t sourceLeft = inBytes, targetLeft = outBytes;
    iconv(cd, &source, &sourceLeft, &target, &targetLeft);
    if (sourceLeft != 0) {
        ZLOG_FAIL(function, "fail: iconv (source-left:%zu)", sourceLeft);
        throw internal_error();
    }
    return outBytes - targetLeft;
}

class iconv_holder {
public:
    iconv_holder(const char *to, const char *from, const char *function) : _cd(iconv_open(to, from)) {
        if (_cd == reinterpret_cast<iconv_t>(-1)) {
            const int error = errno;
            ZLOG_WARN(function, "fail: iconv_open (source:<%s>, target:<%s>, errno:<%s>)", from, to,
                      std::strerror(error));
            throw internal_error();
        }
    }
    ~iconv_holder() { iconv_close(_cd); }
    iconv_holder(const iconv_holder &) = delete;
    iconv_holder &operator=(const iconv_holder &) = delete;
    iconv_t get() const { return _cd; }

private:
    iconv_t _cd;
};

}  // namespace

void TextSplit(const std::string &text, char delimiter, std::vector<std::string> &pieces) {
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t start = text.find_first_not_of(delimiter, pos);
        if (start == std::string::npos) break;
        size_t end = text.find(delimiter, start);
        if (end == std::string::npos) end = text.size();
        pieces.push_back(text.substr(start, end - start));
        pos = end;
    }
}

std::string TextJoin(char delimiter, const std::vector<std::string> &pieces) {
    std::string out;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i) out += delimiter;
        out += pieces[i];
    }
    return out;
}

std::string TextTrimL(const std::string &text, const std::string &chars) {
    const size_t start = text.find_first_not_of(chars);
    return start == std::string::npos ? std::string() : text.substr(start);
}

std::string TextTrimR(const std::string &text, const std::string &chars) {
    const size_t end = text.find_last_not_of(chars);
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string TextTrim(const std::string &text, const std::string &chars) {
    return TextTrimR(TextTrimL(text, chars), chars);
}

std::string TextEncodeUtf8(const wchar_t *text) {
    if (!text) return std::string();
    iconv_holder cd("UTF-8", "WCHAR_T", "TextEncodeUtf8");
    const size_t inBytes = std::wcslen(text) * sizeof(wchar_t);
    std::string out(inBytes + 1, '\0');  // UTF-8 never needs more bytes than UCS-4
    const size_t written =
        _T_iconv_all(cd.get(), "TextEncodeUtf8", reinterpret_cast<const char *>(text), inBytes, &out[0], out.size());
    out.resize(written);
    return out;
}

bool TextDecodeUtf8(wchar_t *target, size_t targetSize, const char *source, size_t sourceSize) {
    if (!target || targetSize == 0 || !source) {
        ZLOG_FAIL("TextDecodeUtf8", "fail: iconv (target-left:%zu)", static_cast<size_t>(0));
        throw internal_error();
    }
    if (sourceSize == 0) sourceSize = std::strlen(source);
    iconv_holder cd("WCHAR_T", "UTF-8", "TextDecodeUtf8");
    const size_t room = targetSize * sizeof(wchar_t);
    const size_t written =
        _T_iconv_all(cd.get(), "TextDecodeUtf8", source, sourceSize, reinterpret_cast<char *>(target), room);
    if (room - written < sizeof(wchar_t)) {
        ZLOG_FAIL("TextDecodeUtf8", "fail: iconv (target-left:%zu)", static_cast<size_t>(0));
        throw internal_error();
    }
    target[written / sizeof(wchar_t)] = L'\0';
    return true;
}

void TextDecodeParamValue(const std::string &text, std::string &name, std::string &value, char delimiter) {
    const size_t pos = text.find(delimiter);
    if (pos == std::string::npos) {
        name = TextTrim(text, kBlanks);
        value.clear();
        return;
    }
    name = TextTrim(text.substr(0, pos), kBlanks);
    value = TextTrim(text.substr(pos + 1), kBlanks);
}

std::string TextDecodeValue(const std::string &text, char delimiter) {
    const size_t pos = text.find(delimiter);
    if (pos == std::string::npos) {
        ZLOG_FAIL("TextDecodeValue", "fail: find (text:<%s>, delim:<%c>)", text.c_str(), delimiter);
        throw params_error();
    }
    std::string value = TextTrimL(text.substr(pos + 1), kBlanks);
    if (value.empty()) {
        ZLOG_FAIL("TextDecodeValue", "fail: value absent (text:<%s>, delim:<%c>)", text.c_str(), delimiter);
        throw params_error();
    }
    return value;
}

std::string TextToUpper(const std::string &text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string TextToLower(const std::string &text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::wstring TextTransPlate(const std::wstring &text) {
    static const std::map<wchar_t, wchar_t> _s_lookAlikes = {
        {L'\u0410', L'A'}, {L'\u0412', L'B'}, {L'\u0421', L'C'}, {L'\u0415', L'E'},
        {L'\u041D', L'H'}, {L'\u0406', L'I'}, {L'\u041A', L'K'}, {L'\u041C', L'M'},
        {L'\u041E', L'O'}, {L'\u0420', L'P'}, {L'\u0422', L'T'}, {L'\u0425', L'X'},
    };
    std::wstring out(text);
    for (wchar_t &c : out) {
        const auto it = _s_lookAlikes.find(c);
        if (it != _s_lookAlikes.end()) c = it->second;
    }
    return out;
}

}  // namespace Support
}  // namespace Zarn
