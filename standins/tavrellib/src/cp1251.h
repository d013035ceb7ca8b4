// Conversion between UTF-8 and Windows-1251, the library's text encoding.
#pragma once

#include <string>

namespace tavrel_standin {

// Strict: false when `utf8` is not valid UTF-8 or holds a character that
// Windows-1251 lacks.
bool utf8_to_cp1251(const std::string &utf8, std::string *cp1251);

// Lenient: characters Windows-1251 lacks become '?'.
std::string utf8_to_cp1251_lossy(const std::string &utf8);

// False when `cp1251` holds a byte that Windows-1251 leaves undefined (0x98).
bool cp1251_to_utf8(const std::string &cp1251, std::string *utf8);

}  // namespace tavrel_standin
