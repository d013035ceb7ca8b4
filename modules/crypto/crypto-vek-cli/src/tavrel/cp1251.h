// Windows-1251 to UTF-8 without iconv: the code page is a fixed table, so no converter
// module is loaded for it.
#pragma once

#include <cstddef>

namespace Zarn {
namespace Support {
namespace VekCli {
namespace Tavrel {

struct cp1251_conversion {
    size_t sourceLeft;  // bytes of source not converted
    size_t targetLeft;  // bytes of target not written
};

// Converts as iconv does, character by character, and stops before the undefined byte
// 0x98 or before a character whose UTF-8 form no longer fits in target. Writes no NUL.
cp1251_conversion Cp1251ToUtf8(const char *source, size_t sourceSize, char *target, size_t targetSize);

}  // namespace Tavrel
}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
