// The library's settings groups, OCSP access points, runtime parameters and
// pseudo-random bytes. Settings live in memory for the process: they outlast
// KTFinalize, as the real library keeps them in its own store.
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "library.h"

namespace tavrel_standin {
namespace {

struct ocsp_access_point {
    std::string issuer, address, port;
};

struct settings_store {
    std::mutex lock;
    bool file_store_set = false;
    std::string path;
    BOOL check_crls = 0, auto_refresh = 0, own_crls_only = 0, full_and_delta_crls = 0, auto_download_crls = 0,
         save_loaded_certs = 0;
    DWORD expire_time = 0;
    BOOL use_proxy = 0, proxy_anonymous = 0, save_proxy_password = 0;
    std::string proxy_address, proxy_port, proxy_user, proxy_password;
    BOOL use_ocsp = 0, ocsp_before_store = 0;
    std::string ocsp_address, ocsp_port;
    BOOL get_stamps = 0;
    std::string tsp_address, tsp_port;
    BOOL use_ldap = 0, ldap_anonymous = 0;
    std::string ldap_address, ldap_port, ldap_user, ldap_password;
    BOOL use_cmp = 0;
    std::string cmp_address, cmp_port, cmp_common_name;
    BOOL offline_mode = 0;
    BOOL ocsp_access_info_enabled = 0;
    std::vector<ocsp_access_point> access_points;
    std::map<std::string, DWORD> runtime_parameters;
};

settings_store &settings() {
    static settings_store instance;
    return instance;
}

// Names KTSetRuntimeParameter accepts; each takes a 4-byte value.
const char *const runtime_parameter_names[] = {
    KT_RESOLVE_OIDS_PARAMETER,
    KT_SAVE_SETTINGS_PARAMETER,
    KT_UI_MODE_PARAMETER,
    KT_SHOW_ERRORS_PARAMETER,
    KT_MAKE_PKEY_PFX_CONTAINER_PARAMETER,
    KT_NO_CSP_SELF_TESTS_PARAMETER,
    KT_SIGN_INCLUDE_CONTENT_TIME_STAMP_PARAMETER,
    KT_SIGN_TYPE_PARAMETER,
    KT_SIGN_INCLUDE_CA_CERTIFICATES_PARAMETER,
    KT_FS_CALCULATE_FINGERPRINT,
    KT_PROXY_TYPE,
    KT_KM_SOFTWARE_MODE_PARAMETER,
    KT_FORBID_CHDIR_PARAMETER,
    KT_RETURN_NAMED_KEY_ERROR_PARAMETER,
    KT_FORCE_USE_TSP_FROM_SETTINGS_PARAMETER,
    KT_LOG_ENCODING_PARAMETER,
};

bool known_runtime_parameter(const char *name) {
    for (const char *known : runtime_parameter_names)
        if (std::strcmp(known, name) == 0) return true;
    return false;
}

// A caller's text of a size-byte field: the bytes before its NUL, at most size - 1.
std::string take(const char *text, size_t size) { return std::string(text, strnlen(text, size - 1)); }

// Writes `value` into a caller's buffer of `size` bytes, cut to size - 1 and NUL-terminated.
void give(char *buffer, size_t size, const std::string &value) {
    size_t n = value.size() < size ? value.size() : size - 1;
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
}

// Runs `body` on the store under its lock once the library is ready.
template <class Body>
DWORD with_settings(Body &&body) {
    if (DWORD status = ready()) return status;
    return guarded([&]() -> DWORD {
        settings_store &s = settings();
        std::lock_guard<std::mutex> guard(s.lock);
        return body(s);
    });
}

bool all(std::initializer_list<const void *> pointers) {
    for (const void *p : pointers)
        if (!p) return false;
    return true;
}

}  // namespace
}  // namespace tavrel_standin

using namespace tavrel_standin;

extern "C" {

DWORD KTGetFileStoreSettings(char *pszPath, BOOL *pbCheckCRLs, BOOL *pbAutoRefresh, BOOL *pbOwnCRLsOnly,
                             BOOL *pbFullAndDeltaCRLs, BOOL *pbAutoDownloadCRLs, BOOL *pbSaveLoadedCerts,
                             DWORD *pdwExpireTime) {
    STANDIN_ENTER();
    if (!all({pszPath, pbCheckCRLs, pbAutoRefresh, pbOwnCRLsOnly, pbFullAndDeltaCRLs, pbAutoDownloadCRLs,
              pbSaveLoadedCerts, pdwExpireTime}))
        return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        give(pszPath, KT_PATH_MAX_LENGTH, s.path);
        *pbCheckCRLs = s.check_crls;
        *pbAutoRefresh = s.auto_refresh;
        *pbOwnCRLsOnly = s.own_crls_only;
        *pbFullAndDeltaCRLs = s.full_and_delta_crls;
        *pbAutoDownloadCRLs = s.auto_download_crls;
        *pbSaveLoadedCerts = s.save_loaded_certs;
        *pdwExpireTime = s.expire_time;
        return 0;
    });
}

DWORD KTSetFileStoreSettings(char *pszPath, BOOL bCheckCRLs, BOOL bAutoRefresh, BOOL bOwnCRLsOnly,
                             BOOL bFullAndDeltaCRLs, BOOL bAutoDownloadCRLs, BOOL bSaveLoadedCerts,
                             DWORD dwExpireTime) {
    STANDIN_ENTER();
    if (!pszPath) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        s.path = take(pszPath, KT_PATH_MAX_LENGTH);
        s.check_crls = bCheckCRLs;
        s.auto_refresh = bAutoRefresh;
        s.own_crls_only = bOwnCRLsOnly;
        s.full_and_delta_crls = bFullAndDeltaCRLs;
        s.auto_download_crls = bAutoDownloadCRLs;
        s.save_loaded_certs = bSaveLoadedCerts;
        s.expire_time = dwExpireTime;
        s.file_store_set = true;
        return 0;
    });
}

DWORD KTGetProxySettings(BOOL *pbUseProxy, BOOL *pbAnonymous, char *pszAddress, char *pszPort, char *pszUser,
                         char *pszPassword, BOOL *pbSavePassword) {
    STANDIN_ENTER();
    if (!all({pbUseProxy, pbAnonymous, pszAddress, pszPort, pszUser, pszPassword, pbSavePassword}))
        return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        *pbUseProxy = s.use_proxy;
        *pbAnonymous = s.proxy_anonymous;
        give(pszAddress, KT_ADDRESS_MAX_LENGTH, s.proxy_address);
        give(pszPort, KT_PORT_MAX_LENGTH, s.proxy_port);
        give(pszUser, KT_USER_NAME_MAX_LENGTH, s.proxy_user);
        give(pszPassword, KT_PASS_MAX_LENGTH, s.proxy_password);
        *pbSavePassword = s.save_proxy_password;
        return 0;
    });
}

DWORD KTSetProxySettings(BOOL bUseProxy, BOOL bAnonymous, char *pszAddress, char *pszPort, char *pszUser,
                         char *pszPassword, BOOL bSavePassword) {
    STANDIN_ENTER();
    if (!all({pszAddress, pszPort, pszUser, pszPassword})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        s.use_proxy = bUseProxy;
        s.proxy_anonymous = bAnonymous;
        s.proxy_address = take(pszAddress, KT_ADDRESS_MAX_LENGTH);
        s.proxy_port = take(pszPort, KT_PORT_MAX_LENGTH);
        s.proxy_user = take(pszUser, KT_USER_NAME_MAX_LENGTH);
        s.proxy_password = take(pszPassword, KT_PASS_MAX_LENGTH);
        s.save_proxy_password = bSavePassword;
        return 0;
    });
}

DWORD KTGetOCSPSettings(BOOL *pbUseOCSP, BOOL *pbBeforeStore, char *pszAddress, char *pszPort) {
    STANDIN_ENTER();
    if (!all({pbUseOCSP, pbBeforeStore, pszAddress, pszPort})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        *pbUseOCSP = s.use_ocsp;
        *pbBeforeStore = s.ocsp_before_store;
        give(pszAddress, KT_ADDRESS_MAX_LENGTH, s.ocsp_address);
        give(pszPort, KT_PORT_MAX_LENGTH, s.ocsp_port);
        return 0;
    });
}

DWORD KTSetOCSPSettings(BOOL bUseOCSP, BOOL bBeforeStore, char *pszAddress, char *pszPort) {
    STANDIN_ENTER();
    if (!all({pszAddress, pszPort})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        s.use_ocsp = bUseOCSP;
        s.ocsp_before_store = bBeforeStore;
        s.ocsp_address = take(pszAddress, KT_ADDRESS_MAX_LENGTH);
        s.ocsp_port = take(pszPort, KT_PORT_MAX_LENGTH);
        return 0;
    });
}

DWORD KTGetTSPSettings(BOOL *pbGetStamps, char *pszAddress, char *pszPort) {
    STANDIN_ENTER();
    if (!all({pbGetStamps, pszAddress, pszPort})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        *pbGetStamps = s.get_stamps;
        give(pszAddress, KT_ADDRESS_MAX_LENGTH, s.tsp_address);
        give(pszPort, KT_PORT_MAX_LENGTH, s.tsp_port);
        return 0;
    });
}

DWORD KTSetTSPSettings(BOOL bGetStamps, char *pszAddress, char *pszPort) {
    STANDIN_ENTER();
    if (!all({pszAddress, pszPort})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        s.get_stamps = bGetStamps;
        s.tsp_address = take(pszAddress, KT_ADDRESS_MAX_LENGTH);
        s.tsp_port = take(pszPort, KT_PORT_MAX_LENGTH);
        return 0;
    });
}

DWORD KTGetLDAPSettings(BOOL *pbUseLDAP, char *pszAddress, char *pszPort, BOOL *pbAnonymous, char *pszUser,
                        char *pszPassword) {
    STANDIN_ENTER();
    if (!all({pbUseLDAP, pszAddress, pszPort, pbAnonymous, pszUser, pszPassword})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        *pbUseLDAP = s.use_ldap;
        give(pszAddress, KT_ADDRESS_MAX_LENGTH, s.ldap_address);
        give(pszPort, KT_PORT_MAX_LENGTH, s.ldap_port);
        *pbAnonymous = s.ldap_anonymous;
        give(pszUser, KT_USER_NAME_MAX_LENGTH, s.ldap_user);
        give(pszPassword, KT_PASS_MAX_LENGTH, s.ldap_password);
        return 0;
    });
}

DWORD KTSetLDAPSettings(BOOL bUseLDAP, char *pszAddress, char *pszPort, BOOL bAnonymous, char *pszUser,
                        char *pszPassword) {
    STANDIN_ENTER();
    if (!all({pszAddress, pszPort, pszUser, pszPassword})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        s.use_ldap = bUseLDAP;
        s.ldap_address = take(pszAddress, KT_ADDRESS_MAX_LENGTH);
        s.ldap_port = take(pszPort, KT_PORT_MAX_LENGTH);
        s.ldap_anonymous = bAnonymous;
        s.ldap_user = take(pszUser, KT_USER_NAME_MAX_LENGTH);
        s.ldap_password = take(pszPassword, KT_PASS_MAX_LENGTH);
        return 0;
    });
}

DWORD KTGetCMPSettings(BOOL *pbUseCMP, char *pszAddress, char *pszPort, char *pszCommonName) {
    STANDIN_ENTER();
    if (!all({pbUseCMP, pszAddress, pszPort, pszCommonName})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        *pbUseCMP = s.use_cmp;
        give(pszAddress, KT_ADDRESS_MAX_LENGTH, s.cmp_address);
        give(pszPort, KT_PORT_MAX_LENGTH, s.cmp_port);
        give(pszCommonName, KT_COMMON_NAME_MAX_LENGTH, s.cmp_common_name);
        return 0;
    });
}

DWORD KTSetCMPSettings(BOOL bUseCMP, char *pszAddress, char *pszPort, char *pszCommonName) {
    STANDIN_ENTER();
    if (!all({pszAddress, pszPort, pszCommonName})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        s.use_cmp = bUseCMP;
        s.cmp_address = take(pszAddress, KT_ADDRESS_MAX_LENGTH);
        s.cmp_port = take(pszPort, KT_PORT_MAX_LENGTH);
        s.cmp_common_name = take(pszCommonName, KT_COMMON_NAME_MAX_LENGTH);
        return 0;
    });
}

DWORD KTGetModeSettings(BOOL *pbOfflineMode) {
    STANDIN_ENTER();
    if (!pbOfflineMode) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        *pbOfflineMode = s.offline_mode;
        return 0;
    });
}

DWORD KTSetModeSettings(BOOL bOfflineMode) {
    STANDIN_ENTER();
    return with_settings([&](settings_store &s) -> DWORD {
        s.offline_mode = bOfflineMode;
        return 0;
    });
}

DWORD KTGetOCSPAccessInfoModeSettings(BOOL *pbEnabled) {
    STANDIN_ENTER();
    if (!pbEnabled) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        *pbEnabled = s.ocsp_access_info_enabled;
        return 0;
    });
}

DWORD KTSetOCSPAccessInfoModeSettings(BOOL bEnabled) {
    STANDIN_ENTER();
    return with_settings([&](settings_store &s) -> DWORD {
        s.ocsp_access_info_enabled = bEnabled;
        return 0;
    });
}

DWORD KTEnumOCSPAccessInfoSettings(DWORD dwIndex, char *pszIssuerCN, char *pszAddress, char *pszPort) {
    STANDIN_ENTER();
    if (!all({pszIssuerCN, pszAddress, pszPort})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        if (dwIndex >= s.access_points.size()) return KT_ERROR_NO_MORE_ITEMS;
        const ocsp_access_point &point = s.access_points[dwIndex];
        give(pszIssuerCN, KT_COMMON_NAME_MAX_LENGTH, point.issuer);
        give(pszAddress, KT_ADDRESS_MAX_LENGTH, point.address);
        give(pszPort, KT_PORT_MAX_LENGTH, point.port);
        return 0;
    });
}

DWORD KTGetOCSPAccessInfoSettings(char *pszIssuerCN, char *pszAddress, char *pszPort) {
    STANDIN_ENTER();
    if (!all({pszIssuerCN, pszAddress, pszPort})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        std::string issuer = take(pszIssuerCN, KT_COMMON_NAME_MAX_LENGTH);
        for (const ocsp_access_point &point : s.access_points) {
            if (point.issuer != issuer) continue;
            give(pszAddress, KT_ADDRESS_MAX_LENGTH, point.address);
            give(pszPort, KT_PORT_MAX_LENGTH, point.port);
            return 0;
        }
        return KT_ERROR_BAD_PARAMETER;
    });
}

DWORD KTSetOCSPAccessInfoSettings(char *pszIssuerCN, char *pszAddress, char *pszPort) {
    STANDIN_ENTER();
    if (!all({pszIssuerCN, pszAddress, pszPort})) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        ocsp_access_point point{take(pszIssuerCN, KT_COMMON_NAME_MAX_LENGTH), take(pszAddress, KT_ADDRESS_MAX_LENGTH),
                                take(pszPort, KT_PORT_MAX_LENGTH)};
        for (ocsp_access_point &known : s.access_points) {
            if (known.issuer == point.issuer) {
                known = point;
                return 0;
            }
        }
        s.access_points.push_back(point);
        return 0;
    });
}

DWORD KTDeleteOCSPAccessInfoSettings(char *pszIssuerCN) {
    STANDIN_ENTER();
    if (!pszIssuerCN) return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        std::string issuer = take(pszIssuerCN, KT_COMMON_NAME_MAX_LENGTH);
        for (auto it = s.access_points.begin(); it != s.access_points.end(); ++it) {
            if (it->issuer == issuer) {
                s.access_points.erase(it);
                return 0;
            }
        }
        return KT_ERROR_BAD_PARAMETER;
    });
}

BOOL KTDoesNeedSetSettings(void) {
    note_call(__func__);
    settings_store &s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.file_store_set ? 0 : 1;
}

DWORD KTSetRuntimeParameter(char *pszParameterName, PVOID pvValue, DWORD dwValueLength) {
    STANDIN_ENTER();
    if (!pszParameterName || !pvValue || dwValueLength != 4 || !known_runtime_parameter(pszParameterName))
        return KT_ERROR_BAD_PARAMETER;
    return with_settings([&](settings_store &s) -> DWORD {
        unsigned int value = 0;
        std::memcpy(&value, pvValue, sizeof value);
        s.runtime_parameters[pszParameterName] = value;
        return 0;
    });
}

DWORD KTGeneratePRNGSequence(unsigned char *pbBuffer, DWORD dwBufferSize) {
    STANDIN_ENTER();
    if (!pbBuffer) return KT_ERROR_BAD_PARAMETER;
    if (DWORD status = ready()) return status;
    for (DWORD done = 0; done < dwBufferSize;) {
        DWORD chunk = dwBufferSize - done < DWORD(INT_MAX) ? dwBufferSize - done : DWORD(INT_MAX);
        if (RAND_bytes(pbBuffer + done, int(chunk)) != 1) return TAVREL_STANDIN_ERROR_CRYPTO;
        done += chunk;
    }
    return 0;
}

int TavrelStandin_GetRuntimeParameter(const char *name, unsigned long *value) {
    if (!name || !value) return -1;
    settings_store &s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.runtime_parameters.find(name);
    if (it == s.runtime_parameters.end()) return -1;
    *value = it->second;
    return 0;
}

}  // extern "C"
