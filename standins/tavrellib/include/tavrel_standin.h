/* Test controls of the stand-in signature library tavrellib.so.
 *
 * For our own tests only: the product code never includes this header. Every
 * control is also reachable across processes through the environment variables
 * listed in standins/tavrellib/README.md.
 *
 * All functions are thread-safe. Function names given to the controls are the
 * library's exported names ("KTCtxSignData"); unknown names are refused. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses of the stand-in's own, beside the library's KT_ERROR_* codes. */
#define TAVREL_STANDIN_ERROR_NOT_SUPPORTED 0xF001UL   /* function has no behaviour here */
#define TAVREL_STANDIN_ERROR_NOT_INITIALIZED 0xF002UL /* called before KTInitialize */
#define TAVREL_STANDIN_ERROR_WORLD 0xF003UL           /* world file unreadable or invalid */
#define TAVREL_STANDIN_ERROR_NO_KEY 0xF004UL          /* the key medium holds no key */
#define TAVREL_STANDIN_ERROR_FILE 0xF005UL            /* a file could not be read or written */
#define TAVREL_STANDIN_ERROR_CRYPTO 0xF006UL          /* libcrypto refused the operation or data */
#define TAVREL_STANDIN_ERROR_VERIFY 0xF007UL          /* the signature does not verify */
#define TAVREL_STANDIN_ERROR_CONTROL 0xF008UL         /* malformed TAVREL_STANDIN_* variable */
#define TAVREL_STANDIN_ERROR_CERT_NOT_FOUND 0xF009UL  /* no certificate of the asked kind */
#define TAVREL_STANDIN_ERROR_FILE_TOO_LARGE 0xF00AUL  /* a file exceeds TAVREL_STANDIN_MAX_FILE_SIZE */
#define TAVREL_STANDIN_ERROR_KEY_EXISTS 0xF010UL      /* a named key of that label exists */

/* Largest file the stand-in reads (world, key, container or data file). Larger ones,
 * and anything but a regular file, are refused before they are read. */
#define TAVREL_STANDIN_MAX_FILE_SIZE (64UL << 20)

/* Library objects that callers have not released yet. */
typedef struct TavrelStandinCounters {
    unsigned long buffers;      /* buffers for KTFreeMemory */
    unsigned long records;      /* filled or allocated records not yet released */
    unsigned long contexts;     /* KTCtxCreate without KTCtxFree */
    unsigned long privateKeys;  /* key reads without KTCtxFreePrivateKey */
    unsigned long violations;   /* contexts freed while a key read through them lived */
    unsigned long sessions;     /* sessions not yet destroyed */
} TavrelStandinCounters;

/* World file used by the next KTInitialize; NULL returns to TAVREL_STANDIN_WORLD
 * or the default ~/.tavrel-standin/world.json. */
void TavrelStandin_SetWorldPath(const char *path);

/* Makes `function` return `status` once `after` calls have passed through it
 * (0: from the next call on). Returns 0, or -1 for an unknown function name or a
 * function that returns no status. */
int TavrelStandin_SetFault(const char *function, unsigned long status, unsigned long after);
void TavrelStandin_ClearFaults(void);

/* Sleeps `milliseconds` at the entry of `function`, holding no lock (0 removes
 * the delay). Returns 0, or -1 for an unknown function name. */
int TavrelStandin_SetDelay(const char *function, unsigned long milliseconds);
void TavrelStandin_ClearDelays(void);

/* Calls of `function` since the library was loaded or counts were reset. */
unsigned long TavrelStandin_CallCount(const char *function);
void TavrelStandin_ResetCallCounts(void);

/* Call trace file, one appended line per call; NULL returns to TAVREL_STANDIN_TRACE. */
void TavrelStandin_SetTracePath(const char *path);

/* Non-zero: each buffer that KTFreeMemory frees adds the trace line "released buffer <n>"
 * after the call's own, n numbering the buffers the library made from 1, in the order it
 * made them (a call makes its outputs in parameter order). */
void TavrelStandin_SetReleaseTrace(int on);

/* Non-zero: KTCtxSignData and KTCtxSignFile make signatures longer than 4096 bytes. */
void TavrelStandin_SetLongSignatures(int on);

TavrelStandinCounters TavrelStandin_GetCounters(void);

/* The value KTSetRuntimeParameter last stored under `name`: 0, or -1 when none was. */
int TavrelStandin_GetRuntimeParameter(const char *name, unsigned long *value);

/* Clears faults, delays, call counts, the trace and world overrides, the
 * long-signature switch and the violation count, and forgets the environment already
 * applied, so the next KTInitialize reads it again. Live objects stay counted. */
void TavrelStandin_Reset(void);

/* What the library was handed: the last recorded call of `function`, its arguments
 * numbered in library order from 0. Each returns -1 for an unknown function name.
 * Cleared by TavrelStandin_Reset. */

/* The last recorded call's argument count, -1 if none was recorded. */
int TavrelStandin_LastCallArgumentCount(const char *function);
/* Argument `index`: 1 if it was a null pointer, 0 if not (or not a pointer), -1 no such argument. */
int TavrelStandin_LastCallIsNull(const char *function, unsigned index);
/* Integer argument `index` into *value: 0, or -1. */
int TavrelStandin_LastCallNumber(const char *function, unsigned index, unsigned long long *value);
/* Bytes recorded for argument `index` (a buffer's given length, a text up to its NUL, a
 * multi-string with its closing NULs, a byte list's items concatenated, a length array's
 * raw bytes): copies at most `room` bytes into `out` and returns the full size, -1 if none. */
long TavrelStandin_LastCallBytes(const char *function, unsigned index, void *out, unsigned long room);
/* For the next call of `function` only: leave its output argument `index` null while
 * succeeding (a buffer's length is still written). */
int TavrelStandin_SetNullOutput(const char *function, unsigned index);
/* For the next call of `function` only: write `length` bytes (at most 1152) and a NUL into
 * the lent text buffer at `index` when it succeeds. */
int TavrelStandin_SetLentText(const char *function, unsigned index, const char *text, unsigned long length);
/* For the next call of `function` only: write `length` as the length of its buffer output
 * at `index` (the buffer is made as usual), so that a caller that checks lengths can be
 * made to fail on that one output. */
int TavrelStandin_SetOutputLength(const char *function, unsigned index, unsigned long long length);
/* For the next call of `function` only: do the work, hand out every output, then return
 * `status` (a library that fails after filling its outputs). Applies to the functions
 * that hand out buffers, texts or records (README). */
int TavrelStandin_SetLateStatus(const char *function, unsigned long status);

#ifdef __cplusplus
}
#endif
