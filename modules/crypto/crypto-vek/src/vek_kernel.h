/* The plug-in's exported functions, as a host program calls them.
 *
 * Statuses: 0 success (for CryptoProviderSign: queued), -1 failure, -2 the key medium
 * refused access, -3 busy. A host calls Open, Start, Stop and Close from one thread. */
#ifndef VEK_KERNEL_H
#define VEK_KERNEL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Completion of one signing request, called once on the provider's worker thread.
 * The blob and the signature are valid only during the call. */
typedef void (*CryptoSignHandler)(void *context, int status, const unsigned char *blob, unsigned int blobSize,
                                  const unsigned char *sign, unsigned int signSize);

typedef int (*CryptoStatsCallback)(void *context, const char *stats);

int CryptoLogOpen(const char *name, int level, int flags);
int CryptoLogClose(void);

int CryptoProviderOpen(const char *confPath);
int CryptoProviderStart(void);
int CryptoProviderStop(void);
void CryptoProviderClose(void);

/* The signer's certificate; a buffer that is too small gets nothing, and *aCrtSize
 * the size needed. */
int CryptoProviderGetCrt(unsigned char *aCrtData, unsigned int *aCrtSize);
/* The hash as lowercase hexadecimal text with its NUL; *aHashSize receives the text's
 * length without the NUL. A null aHashData asks for the length only. */
int CryptoProviderHash(const unsigned char *aBlobData, unsigned int aBlobSize, unsigned char *aHashData,
                       unsigned int *aHashSize);
/* Queues a copy of the data; aHandler is called exactly once when this returns 0. */
int CryptoProviderSign(const unsigned char *aBlobData, unsigned int aBlobSize, CryptoSignHandler aHandler,
                       void *aContext);

int CryptoProviderCollectStats(CryptoStatsCallback fn, void *context);

#ifdef __cplusplus
}
#endif

#endif
