/* The KT_INTERFACE_<Name> wrappers, in the slot order of KT_INTERFACE. Each takes the table
 * as its first parameter, named iface, which table_arg.i converts; items.i turns the other
 * parameters into items by kind. */
%include "items.i"

/* Kinds that span several parameters, by the parameters' names. */
%apply (unsigned char **BYTES_OUT, DWORD *BYTES_OUT_LENGTH) {
    (unsigned char **ppbCertificate, DWORD *pdwCertificateLength),
    (unsigned char **ppbPrivateKey, DWORD *pdwPrivateKeyLength)
};

TAVREL_WRAPPER(DWORD, Initialize, (KT_INTERFACE *iface))
TAVREL_WRAPPER(BOOL, IsInitialized, (KT_INTERFACE *iface))
TAVREL_WRAPPER(void, Finalize, (KT_INTERFACE *iface))
TAVREL_WRAPPER(DWORD, ReadPrivateKey, (KT_INTERFACE *iface, PKT_KEY_MEDIA pKeyMedia, PKT_CERT_OWNER_INFO pInfo))
TAVREL_WRAPPER(BOOL, IsPrivateKeyReaded, (KT_INTERFACE *iface))
TAVREL_WRAPPER(void, ResetPrivateKey, (KT_INTERFACE *iface))
TAVREL_WRAPPER(void, SetUIMode, (KT_INTERFACE *iface, BOOL bUIMode))
TAVREL_WRAPPER(DWORD, EnumKeyMediaTypes, (KT_INTERFACE *iface, DWORD dwTypeIndex, char *pszTypeDescription))
TAVREL_WRAPPER(DWORD, EnumKeyMediaDevices,
               (KT_INTERFACE *iface, DWORD dwTypeIndex, DWORD dwDeviceIndex, char *pszDeviceDescription))
TAVREL_SETTINGS_WRAPPER(GetFileStoreSettings)
TAVREL_SETTINGS_WRAPPER(SetFileStoreSettings)
TAVREL_SETTINGS_WRAPPER(GetProxySettings)
TAVREL_SETTINGS_WRAPPER(SetProxySettings)
TAVREL_SETTINGS_WRAPPER(GetOCSPSettings)
TAVREL_SETTINGS_WRAPPER(SetOCSPSettings)
TAVREL_SETTINGS_WRAPPER(GetTSPSettings)
TAVREL_SETTINGS_WRAPPER(SetTSPSettings)
TAVREL_SETTINGS_WRAPPER(GetLDAPSettings)
TAVREL_SETTINGS_WRAPPER(SetLDAPSettings)
TAVREL_SETTINGS_WRAPPER(GetCMPSettings)
TAVREL_SETTINGS_WRAPPER(SetCMPSettings)
TAVREL_WRAPPER(BOOL, DoesNeedSetSettings, (KT_INTERFACE *iface))
TAVREL_WRAPPER(DWORD, ReadPrivateKeyBinary,
               (KT_INTERFACE *iface, unsigned char *pbPrivateKey, DWORD dwPrivateKeyLength, char *pszPassword,
                PKT_CERT_OWNER_INFO pInfo))
TAVREL_WRAPPER(DWORD, ReadPrivateKeyFile,
               (KT_INTERFACE *iface, char *pszPrivateKeyFileName, char *pszPassword, PKT_CERT_OWNER_INFO pInfo))
TAVREL_SETTINGS_WRAPPER(GetModeSettings)
TAVREL_SETTINGS_WRAPPER(SetModeSettings)
TAVREL_WRAPPER(DWORD, GetCertificate,
               (KT_INTERFACE *iface, char *pszIssuer, char *pszSerial, char **ppszCertificate,
                unsigned char **ppbCertificate, DWORD *pdwCertificateLength))
TAVREL_WRAPPER(DWORD, EnumOwnCertificates, (KT_INTERFACE *iface, DWORD dwIndex, PKT_CERT_INFO_EX *ppInfo))
TAVREL_WRAPPER(DWORD, GetCertificateInfoEx,
               (KT_INTERFACE *iface, char *pszIssuer, char *pszSerial, PKT_CERT_INFO_EX *ppInfo))
TAVREL_WRAPPER(DWORD, GetCRInfo,
               (KT_INTERFACE *iface, unsigned char *pbRequest, DWORD dwRequestLength, KT_CR_INFO **ppCRInfo))
TAVREL_WRAPPER(DWORD, SetRuntimeParameter,
               (KT_INTERFACE *iface, char *pszParameterName, PVOID pvValue, DWORD dwValueLength))
TAVREL_SETTINGS_WRAPPER(GetOCSPAccessInfoModeSettings)
TAVREL_SETTINGS_WRAPPER(SetOCSPAccessInfoModeSettings)
TAVREL_INDEXED_SETTINGS_WRAPPER(EnumOCSPAccessInfoSettings)
TAVREL_SETTINGS_WRAPPER(GetOCSPAccessInfoSettings)
TAVREL_SETTINGS_WRAPPER(SetOCSPAccessInfoSettings)
TAVREL_WRAPPER(DWORD, DeleteOCSPAccessInfoSettings, (KT_INTERFACE *iface, char *pszIssuerCN))
TAVREL_WRAPPER(DWORD, ParseCertificateEx,
               (KT_INTERFACE *iface, unsigned char *pbCertificate, DWORD dwCertificateLength,
                PKT_CERT_INFO_EX *ppInfo))
TAVREL_WRAPPER(DWORD, EnumJKSPrivateKeys,
               (KT_INTERFACE *iface, unsigned char *pbContainer, DWORD dwContainerLength, DWORD dwKeyIndex,
                char **ppszKeyAlias))
TAVREL_WRAPPER(DWORD, GetJKSPrivateKey,
               (KT_INTERFACE *iface, unsigned char *pbContainer, DWORD dwContainerLength, char *pszKeyAlias,
                unsigned char **ppbPrivateKey, DWORD *pdwPrivateKeyLength, DWORD *pdwCertificatesCount,
                unsigned char ***pppbCertificates, DWORD **ppdwCertificatesLength))
TAVREL_WRAPPER(DWORD, GeneratePRNGSequence, (KT_INTERFACE *iface, unsigned char *pbBuffer, DWORD dwBufferSize))

TAVREL_END_OF_WRAPPERS
