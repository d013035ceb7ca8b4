/* The logger's interface: the three functions of libjotlog.so that the tool and the
 * plug-in call. Usable from C and C++.
 *
 * LogWrite may be called at any time (before LogOpen2, after LogClose, or with no open
 * at all) and from several threads at once; it keeps none of the pointers it gets. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the log under `name` (copied) at `level`; `flags` is the host's to choose. */
int LogOpen2(const char *name, int level, int flags);

/* One log line: the calling source file and line, the function the text belongs to,
 * a level and a printf-style text. */
int LogWrite(const char *sourceFile, int line, const char *functionName, int level, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

int LogClose(void);

#ifdef __cplusplus
}
#endif
