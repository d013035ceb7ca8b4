/* signvek.h: the interface of libsignvek.so, the signing plug-in.
 *
 * One provider per process signs with one private key named in a JSON configuration
 * file. Hashes and the signer's certificate are answered on the caller's thread;
 * signing requests are queued and answered through a handler on the plug-in's worker
 * thread (those never started, on the thread that calls CryptoProviderClose, or, when the
 * host never calls it, on the thread that unloads the plug-in or ends the process). Call
 * Open, Start, Stop and Close from one thread; Sign, Hash and GetCrt from any thread, also
 * from inside a sign handler. No function throws, and no log line holds a value of the
 * configuration: lines name the member instead. A configuration that is not JSON is
 * named by where parsing stopped (byte offset, line and column).
 *
 * Build against it with: pkg-config --cflags --libs signvek */
#ifndef SIGNVEK_H
#define SIGNVEK_H

#ifdef __cplusplus
extern "C" {
#endif

/* What the functions return, and the status a sign handler receives. */
enum {
    SIGNVEK_OK = 0,      /* success; for CryptoProviderSign: queued */
    SIGNVEK_FAIL = -1,   /* no provider, a bad argument, an unusable configuration, a library
                            failure; to a handler also: cancelled at Stop or Close */
    SIGNVEK_DENIED = -2, /* the key medium refused access: once it refused the password, every
                            later call answers this at once, until the next Open */
    SIGNVEK_BUSY = -3    /* the request queue is full or stopping, or the key is in use */
};

/* Answers one signing request, once: on the worker thread, or, for a request still queued
 * when CryptoProviderClose comes and no worker was started, on the thread that calls
 * CryptoProviderClose, before it returns; when the host never calls CryptoProviderClose,
 * on the thread that unloads the plug-in (dlclose) or ends the process (exit). blob and
 * sign are valid only during the call; sign is null unless status is SIGNVEK_OK. */
typedef void (*CryptoSignHandler)(void *context, int status, const unsigned char *blob, unsigned int blobSize,
                                  const unsigned char *sign, unsigned int signSize);

/* Receives the statistics text of CryptoProviderCollectStats. */
typedef int (*CryptoStatsCallback)(void *context, const char *stats);

/* Opens and closes the logger; lines up to `level` are written (1 failures, 2 refusals
 * and warnings, 4 trace). Optional. */
int CryptoLogOpen(const char *name, int level, int flags);
int CryptoLogClose(void);

/* Makes the provider, initialises the signature library and reads the configuration
 * file, once. For a relative key-file path the working folder is held open now and the
 * key file is read in it, whatever the folder's name or path becomes. A file changed
 * later has no effect until the next Open. The key is read once too (a key file's
 * bytes at the first use), and a key medium found to hold another key at a later reading
 * fails every call from then on: the certificate CryptoProviderGetCrt hands out is always
 * the signer's. A file that cannot be read or used still gives SIGNVEK_OK: it is logged
 * here, and every later call that needs the key answers SIGNVEK_FAIL at once. So does a
 * key-file path of PATH_MAX bytes or more, and a key file over 1 MiB (found at Open, or
 * when the key is read). Refused
 * (SIGNVEK_FAIL) while a provider is open or still being closed, also from a handler that
 * CryptoProviderClose runs. */
int CryptoProviderOpen(const char *confPath);
/* Starts the worker thread, which reads the key and serves the queued requests. While
 * the key cannot be read yet (a key medium not inserted, a key file not there yet, a
 * library failure), the worker tries again for each new request, and the requests that
 * waited for a failed try are answered SIGNVEK_FAIL at once (no data): none waits for a
 * key that may never come, and the queue is free for the next request, which is signed
 * once the key can be read. */
int CryptoProviderStart(void);
/* Asks the worker to answer what is queued with SIGNVEK_FAIL and end; does not wait. A
 * stopped provider does not start again. Before CryptoProviderStart it is ignored: what
 * is queued stays and is signed once Start comes. */
int CryptoProviderStop(void);
/* Waits for the worker and for running calls, answers the requests no worker started
 * (their handlers run here, on this thread), then releases the key and the library. Not
 * from a handler that runs on the worker. A provider still open when the plug-in is
 * unloaded or the process ends is closed then, on that thread. */
void CryptoProviderClose(void);

/* The signer's certificate (DER): of the key the configuration named at Open. *aCrtSize
 * is the room at aCrtData (not null, even with room 0); on SIGNVEK_OK it is the
 * certificate's size, written only if it fitted. */
int CryptoProviderGetCrt(unsigned char *aCrtData, unsigned int *aCrtSize);
/* The hash as lowercase hexadecimal text with its NUL. *aHashSize is the room at
 * aHashData; on SIGNVEK_OK it is the text's length without the NUL, written only if
 * the room was at least that + 1. A null aHashData asks for the length only. */
int CryptoProviderHash(const unsigned char *aBlobData, unsigned int aBlobSize, unsigned char *aHashData,
                       unsigned int *aHashSize);
/* Queues a copy of the data; on SIGNVEK_OK aHandler is called exactly once with
 * aContext, otherwise never. A configuration that cannot be used (SIGNVEK_FAIL) or a
 * refused password (SIGNVEK_DENIED) is answered at once; SIGNVEK_BUSY: the queue is full
 * or stopping. */
int CryptoProviderSign(const unsigned char *aBlobData, unsigned int aBlobSize, CryptoSignHandler aHandler,
                       void *aContext);

/* Calls fn(context, statistics as JSON text) and returns its result; needs no provider. */
int CryptoProviderCollectStats(CryptoStatsCallback fn, void *context);

#ifdef __cplusplus
}
#endif

#endif
