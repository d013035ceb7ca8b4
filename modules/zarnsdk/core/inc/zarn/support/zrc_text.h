// Text routines over std::string and std::wstring.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace Zarn {
namespace Support {

// Appends every maximal run of non-delimiter characters; empty pieces are skipped.
void TextSplit(const std::string &text, char delimiter, std::vector<std::string> &pieces);
std::string TextJoin(char delimiter, const std::vector<std::string> &pieces);

std::string TextTrim(const std::string &text, const std::string &chars);
std::string TextTrimL(const std::string &text, const std::string &chars);
std::string TextTrimR(const std::string &text, const std::string &chars);

// Wide text to UTF-8; throws internal_error when the text cannot be converted.
std::string TextEncodeUtf8(const wchar_t *text);
// UTF-8 to NUL-terminated wide text in target (size in characters); sourceSize 0 means
// strlen(source). Throws internal_error on failure, so it returns true.
bool TextDecodeUtf8(wchar_t *target, size_t targetSize, const char *source, size_t sourceSize);

// "name <delim> value", both trimmed of blanks and tabs; no delimiter: all is the name.
void TextDecodeParamValue(const std::string &text, std::string &name, std::string &value, char delimiter);
// The text after the first delimiter, leading blanks and tabs skipped; throws
// params_error when there is no delimiter or no value.
std::string TextDecodeValue(const std::string &text, char delimiter);

std::string TextToUpper(const std::string &text);
std::string TextToLower(const std::string &text);

// Cyrillic capitals that look like Latin ones become those Latin capitals.
std::wstring TextTransPlate(const std::wstring &text);

}  // namespace Support
}  // namespace Zarn
