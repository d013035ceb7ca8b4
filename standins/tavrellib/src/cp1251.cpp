#include "cp1251.h"

#include <iconv.h>

#include <cerrno>
#include <memory>

namespace tavrel_standin {
namespace {

struct iconv_closer {
    void operator()(void *cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

// Converts `in`; on a character the target lacks, `on_invalid` decides: skip
// `in` ahead past it and return true with a replacement appended, or fail.
template <class OnInvalid>
bool convert(const char *to, const char *from, const std::string &in, std::string *out, OnInvalid on_invalid) {
    iconv_t raw = iconv_open(to, from);
    if (raw == reinterpret_cast<iconv_t>(-1)) return false;
    std::unique_ptr<void, iconv_closer> cd(raw);
    std::string result;
    char *src = const_cast<char *>(in.data());
    size_t src_left = in.size();
    char chunk[256];
    while (src_left > 0) {
        char *dst = chunk;
        size_t dst_left = sizeof chunk;
        size_t rc = iconv(raw, &src, &src_left, &dst, &dst_left);
        result.append(chunk, dst - chunk);
        if (rc != size_t(-1)) continue;
        if (errno == E2BIG) continue;
        if (!on_invalid(&src, &src_left, &result)) return false;
    }
    *out = std::move(result);
    return true;
}

// Length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
size_t utf8_sequence_length(unsigned char lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

}  // namespace

bool utf8_to_cp1251(const std::string &utf8, std::string *cp1251) {
    return convert("CP1251", "UTF-8", utf8, cp1251, [](char **, size_t *, std::string *) { return false; });
}

std::string utf8_to_cp1251_lossy(const std::string &utf8) {
    std::string out;
    bool ok = convert("CP1251", "UTF-8", utf8, &out, [](char **src, size_t *left, std::string *result) {
        size_t skip = utf8_sequence_length(static_cast<unsigned char>(**src));
        if (skip > *left) skip = *left;
        *src += skip;
        *left -= skip;
        result->push_back('?');
        return true;
    });
    return ok ? out : std::string();
}

bool cp1251_to_utf8(const std::string &cp1251, std::string *utf8) {
    return convert("UTF-8", "CP1251", cp1251, utf8, [](char **, size_t *, std::string *) { return false; });
}

}  // namespace tavrel_standin
