// The library's own private key (read from a key medium, a PKCS#12 byte string or
// a PKCS#12 file) and the key containers that stand in for JKS files.
#include <cjson/cJSON.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "library.h"

namespace tavrel_standin {
namespace {

// Makes `material` the library's own key, after the owner record is filled.
DWORD take_own_key(material_ptr material, KT_CERT_OWNER_INFO *info) {
    if (info) fill_owner_info(info, *material);
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    s.own_key = std::move(material);
    return 0;
}

DWORD read_pkcs12_key(const bytes &der, const char *password, KT_CERT_OWNER_INFO *info) {
    material_ptr material;
    switch (read_pkcs12(der, password, &material)) {
    case pkcs12_status::ok: break;
    case pkcs12_status::bad_password: return KT_ERROR_KEY_MEDIAS_ACCESS_FAILED;
    case pkcs12_status::not_pkcs12: return TAVREL_STANDIN_ERROR_CRYPTO;
    }
    return take_own_key(std::move(material), info);
}

// Standard base64 without line breaks; false when `text` is not such.
bool base64_decode(const std::string &text, bytes *out) {
    if (text.size() % 4 != 0) return false;
    out->assign(text.size() / 4 * 3 + 1, 0);
    int n = EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char *>(text.data()), int(text.size()));
    if (n < 0) return false;
    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    out->resize(size_t(n) - padding);
    return true;
}

// One key of a container: its alias, the key as a PKCS#12 byte string, its certificates.
struct container_key {
    std::string alias;
    bytes key;
    std::vector<bytes> certificates;
};

using json_ptr = std::unique_ptr<cJSON, void (*)(cJSON *)>;

// Parses a container: {"keys": [{"alias": A, "key": BASE64, "certificates": [BASE64, ...]}, ...]}.
bool parse_container(const unsigned char *data, DWORD size, std::vector<container_key> *keys) {
    json_ptr root(cJSON_ParseWithLength(reinterpret_cast<const char *>(data), size), cJSON_Delete);
    const cJSON *list = root ? cJSON_GetObjectItemCaseSensitive(root.get(), "keys") : nullptr;
    if (!cJSON_IsArray(list)) return false;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, list) {
        const cJSON *alias = cJSON_GetObjectItemCaseSensitive(item, "alias");
        const cJSON *key = cJSON_GetObjectItemCaseSensitive(item, "key");
        const cJSON *certs = cJSON_GetObjectItemCaseSensitive(item, "certificates");
        if (!cJSON_IsString(alias) || !cJSON_IsString(key) || (certs && !cJSON_IsArray(certs))) return false;
        container_key entry;
        entry.alias = alias->valuestring;
        if (!base64_decode(key->valuestring, &entry.key)) return false;
        const cJSON *cert = nullptr;
        cJSON_ArrayForEach(cert, certs) {
            entry.certificates.emplace_back();
            if (!cJSON_IsString(cert) || !base64_decode(cert->valuestring, &entry.certificates.back())) return false;
        }
        keys->push_back(std::move(entry));
    }
    return true;
}

bytes text_bytes(const std::string &text) {
    bytes out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

// Library buffers of `words`, each one pointer or DWORD wide.
template <class Word>
Word *new_word_array(const std::vector<Word> &words) {
    bytes raw(words.size() * sizeof(Word));
    std::memcpy(raw.data(), words.data(), raw.size());
    return reinterpret_cast<Word *>(new_buffer(raw));
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTReadPrivateKey(PKT_KEY_MEDIA pKeyMedia, PKT_CERT_OWNER_INFO pInfo) {
    STANDIN_ENTER();
    if (!pKeyMedia) return KT_ERROR_BAD_PARAMETER;
    return guarded([&]() -> DWORD {
        material_ptr material;
        if (DWORD status = media_key(pKeyMedia, &material)) return status;
        return take_own_key(std::move(material), pInfo);
    });
}

BOOL KTIsPrivateKeyReaded(void) {
    note_call(__func__);
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.own_key ? 1 : 0;
}

void KTResetPrivateKey(void) {
    note_call(__func__);
    library_state &s = library();
    std::lock_guard<std::mutex> guard(s.lock);
    s.own_key.reset();
}

DWORD KTReadPrivateKeyBinary(unsigned char *pbPrivateKey, DWORD dwPrivateKeyLength, char *pszPassword,
                             PKT_CERT_OWNER_INFO pInfo) {
    STANDIN_ENTER();
    if (!pbPrivateKey || !pszPassword) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        return read_pkcs12_key(bytes(pbPrivateKey, pbPrivateKey + dwPrivateKeyLength), pszPassword, pInfo);
    });
}

DWORD KTReadPrivateKeyFile(char *pszPrivateKeyFileName, char *pszPassword, PKT_CERT_OWNER_INFO pInfo) {
    STANDIN_ENTER();
    if (!pszPrivateKeyFileName || !pszPassword) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        bytes file;
        if (DWORD status = read_data_file(pszPrivateKeyFileName, &file)) return status;
        return read_pkcs12_key(file, pszPassword, pInfo);
    });
}

DWORD KTEnumJKSPrivateKeys(unsigned char *pbContainer, DWORD dwContainerLength, DWORD dwKeyIndex,
                           char **ppszKeyAlias) {
    STANDIN_ENTER();
    if (!pbContainer) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        std::vector<container_key> keys;
        if (!parse_container(pbContainer, dwContainerLength, &keys)) return TAVREL_STANDIN_ERROR_CRYPTO;
        if (dwKeyIndex >= keys.size()) return KT_ERROR_NO_MORE_ITEMS;
        if (ppszKeyAlias) *ppszKeyAlias = reinterpret_cast<char *>(new_buffer(text_bytes(keys[dwKeyIndex].alias)));
        return 0;
    });
}

DWORD KTGetJKSPrivateKey(unsigned char *pbContainer, DWORD dwContainerLength, char *pszKeyAlias,
                         unsigned char **ppbPrivateKey, DWORD *pdwPrivateKeyLength, DWORD *pdwCertificatesCount,
                         unsigned char ***pppbCertificates, DWORD **ppdwCertificatesLength) {
    STANDIN_ENTER();
    if (!pbContainer || !pszKeyAlias || !pdwPrivateKeyLength || !pdwCertificatesCount ||
        !pppbCertificates != !ppdwCertificatesLength)
        return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        std::vector<container_key> keys;
        if (!parse_container(pbContainer, dwContainerLength, &keys)) return TAVREL_STANDIN_ERROR_CRYPTO;
        const container_key *found = nullptr;
        for (const container_key &key : keys)
            if (key.alias == pszKeyAlias) found = &key;
        if (!found) return KT_ERROR_BAD_PARAMETER;

        // Everything is made before any output is written.
        std::vector<unsigned char *> made;
        try {
            unsigned char *key = ppbPrivateKey ? new_buffer(found->key) : nullptr;
            if (key) made.push_back(key);
            unsigned char **certs = nullptr;
            DWORD *lengths = nullptr;
            size_t count = found->certificates.size();
            if (pppbCertificates && count > 0) {
                std::vector<unsigned char *> pointers;
                std::vector<DWORD> sizes;
                for (const bytes &cert : found->certificates) {
                    made.push_back(new_buffer(cert));
                    pointers.push_back(made.back());
                    sizes.push_back(cert.size());
                }
                certs = new_word_array(pointers);
                made.push_back(reinterpret_cast<unsigned char *>(certs));
                lengths = new_word_array(sizes);
                made.push_back(reinterpret_cast<unsigned char *>(lengths));
            }
            if (ppbPrivateKey) *ppbPrivateKey = key;
            *pdwPrivateKeyLength = found->key.size();
            *pdwCertificatesCount = count;
            if (pppbCertificates) {
                *pppbCertificates = certs;
                *ppdwCertificatesLength = lengths;
            }
        } catch (...) {
            for (unsigned char *buffer : made) free_buffer(buffer);
            throw;
        }
        return 0;
    });
}

}  // extern "C"
