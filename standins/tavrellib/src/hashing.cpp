// Hashing in one step, of files, with parameters, and in parts. The parameters are
// the hash code as decimal text ("1" to "4", as KTCtxHashData takes them); none
// gives code 1. The text form of a hash is its base64.
#include <mutex>

#include "call_record.h"
#include "library.h"
#include "sign_support.h"

namespace tavrel_standin {
namespace {

constexpr DWORD default_hash = 1;

// The hash code that `params` name; 2 for anything else.
DWORD hash_code(const unsigned char *params, DWORD length, DWORD *code) {
    if (length == 0) {
        *code = default_hash;
        return 0;
    }
    if (!params) return KT_ERROR_BAD_PARAMETER;
    std::string text(reinterpret_cast<const char *>(params), length);
    text.erase(text.find_last_not_of('\0') + 1);  // a NUL counted in the length is fine
    if (text.size() != 1 || text[0] < '1' || text[0] > '4') return KT_ERROR_BAD_PARAMETER;
    *code = DWORD(text[0] - '0');
    return 0;
}

// Hashes and hands out both forms; outputs start at argument `first_output`.
DWORD hand_out_hash(const char *function, unsigned first_output, DWORD code, const unsigned char *data, size_t size,
                    char **text, unsigned char **binary, DWORD *length) {
    if (!length) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes hash;
        if (!digest(code, data, size, &hash)) return KT_ERROR_BAD_PARAMETER;
        return hand_out_forms(function, first_output, hash, text, binary, length);
    });
}

DWORD hash_file(const char *function, unsigned first_output, DWORD code, const char *path, char **text,
                unsigned char **binary, DWORD *length) {
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes data;
        if (DWORD status = read_named_file(path, &data)) return status;
        return hand_out_hash(function, first_output, code, data.data(), data.size(), text, binary, length);
    });
}

// The one hash in parts that the library holds between the calls.
struct hash_in_parts {
    std::mutex lock;
    bool begun = false;
    DWORD code = default_hash;
    bytes data;
};

hash_in_parts &parts() {
    static hash_in_parts instance;
    return instance;
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTHashData(unsigned char *pbData, DWORD dwDataLength, char **ppszHash, unsigned char **ppbHash,
                 DWORD *pdwHashLength) {
    call_record(__func__).sized(pbData, dwDataLength).pointer(ppszHash).pointer(ppbHash).pointer(pdwHashLength);
    STANDIN_ENTER();
    if (!pbData && dwDataLength) return KT_ERROR_BAD_PARAMETER;
    return hand_out_hash(__func__, 2, default_hash, pbData, dwDataLength, ppszHash, ppbHash, pdwHashLength);
}

DWORD KTHashDataWithParams(unsigned char *pbParams, DWORD dwParamsLength, unsigned char *pbData, DWORD dwDataLength,
                           char **ppszHash, unsigned char **ppbHash, DWORD *pdwHashLength) {
    call_record(__func__)
        .sized(pbParams, dwParamsLength)
        .sized(pbData, dwDataLength)
        .pointer(ppszHash)
        .pointer(ppbHash)
        .pointer(pdwHashLength);
    STANDIN_ENTER();
    DWORD code = 0;
    if (DWORD status = hash_code(pbParams, dwParamsLength, &code)) return status;
    if (!pbData && dwDataLength) return KT_ERROR_BAD_PARAMETER;
    return hand_out_hash(__func__, 4, code, pbData, dwDataLength, ppszHash, ppbHash, pdwHashLength);
}

DWORD KTHashFile(char *pszFileName, char **ppszHash, unsigned char **ppbHash, DWORD *pdwHashLength) {
    call_record(__func__).text(pszFileName).pointer(ppszHash).pointer(ppbHash).pointer(pdwHashLength);
    write_lent_text(__func__, 0, pszFileName);
    STANDIN_ENTER();
    return hash_file(__func__, 1, default_hash, pszFileName, ppszHash, ppbHash, pdwHashLength);
}

DWORD KTHashFileWithParams(unsigned char *pbParams, DWORD dwParamsLength, char *pszFileName, char **ppszHash,
                           unsigned char **ppbHash, DWORD *pdwHashLength) {
    call_record(__func__)
        .sized(pbParams, dwParamsLength)
        .text(pszFileName)
        .pointer(ppszHash)
        .pointer(ppbHash)
        .pointer(pdwHashLength);
    write_lent_text(__func__, 2, pszFileName);
    STANDIN_ENTER();
    DWORD code = 0;
    if (DWORD status = hash_code(pbParams, dwParamsLength, &code)) return status;
    return hash_file(__func__, 3, code, pszFileName, ppszHash, ppbHash, pdwHashLength);
}

// A new beginning drops a hash in parts that was not ended.
DWORD KTHashDataBeginWithParams(unsigned char *pbParams, DWORD dwParamsLength) {
    call_record(__func__).sized(pbParams, dwParamsLength);
    STANDIN_ENTER();
    DWORD code = 0;
    if (DWORD status = hash_code(pbParams, dwParamsLength, &code)) return status;
    if (DWORD status = ready()) return status;
    hash_in_parts &p = parts();
    std::lock_guard<std::mutex> guard(p.lock);
    p.begun = true;
    p.code = code;
    p.data.clear();
    return 0;
}

// 2 without a beginning.
DWORD KTHashDataContinue(unsigned char *pbData, DWORD dwDataLength) {
    call_record(__func__).sized(pbData, dwDataLength);
    STANDIN_ENTER();
    if (!pbData && dwDataLength) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        hash_in_parts &p = parts();
        std::lock_guard<std::mutex> guard(p.lock);
        if (!p.begun) return KT_ERROR_BAD_PARAMETER;
        p.data.insert(p.data.end(), pbData, pbData + dwDataLength);
        return 0;
    });
}

// 2 without a beginning; a successful end closes the hash in parts.
DWORD KTHashDataEnd(char **ppszHash, unsigned char **ppbHash, DWORD *pdwHashLength) {
    call_record(__func__).pointer(ppszHash).pointer(ppbHash).pointer(pdwHashLength);
    STANDIN_ENTER();
    hash_in_parts &p = parts();
    std::lock_guard<std::mutex> guard(p.lock);
    if (!p.begun) return KT_ERROR_BAD_PARAMETER;
    DWORD status = hand_out_hash(__func__, 0, p.code, p.data.data(), p.data.size(), ppszHash, ppbHash, pdwHashLength);
    if (status == 0) {
        p.begun = false;
        p.data.clear();
    }
    return status;
}

}  // extern "C"
