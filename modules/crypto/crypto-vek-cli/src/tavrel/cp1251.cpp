#include "tavrel/cp1251.h"

#include <cstdint>

namespace Zarn {
namespace Support {
namespace VekCli {
namespace Tavrel {

namespace {

// The code points of 0x80..0xBF; 0 marks 0x98, which has none. 0xC0..0xFF are
// U+0410..U+044F in order, and bytes below 0x80 are ASCII.
constexpr uint16_t kHighCodePoints[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  //
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  //
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  //
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  //
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  //
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

// The code point of a byte; 0 for 0x98.
uint16_t _T_code_point(unsigned char byte) {
    if (byte < 0x80) return byte;
    if (byte >= 0xC0) return static_cast<uint16_t>(0x0410 + (byte - 0xC0));
    return kHighCodePoints[byte - 0x80];
}

// The UTF-8 form of a code point below U+10000 into out; its length.
size_t _T_utf8(uint16_t codePoint, unsigned char out[3]) {
    if (codePoint < 0x80) {
        out[0] = static_cast<unsigned char>(codePoint);
        return 1;
    }
    if (codePoint < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (codePoint >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
        return 2;
    }
    out[0] = static_cast<unsigned char>(0xE0 | (codePoint >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
    return 3;
}

}  // namespace

cp1251_conversion Cp1251ToUtf8(const char *source, size_t sourceSize, char *target, size_t targetSize) {
    size_t read = 0, written = 0;
    for (; read < sourceSize; ++read) {
        const unsigned char byte = static_cast<unsigned char>(source[read]);
        const uint16_t codePoint = _T_code_point(byte);
        if (codePoint == 0 && byte != 0) break;
        unsigned char encoded[3];
        const size_t length = _T_utf8(codePoint, encoded);
        if (length > targetSize - written) break;
        for (size_t i = 0; i < length; ++i) target[written++] = static_cast<char>(encoded[i]);
    }
    return cp1251_conversion{sourceSize - read, targetSize - written};
}

}  // namespace Tavrel
}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
