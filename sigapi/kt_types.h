/* Basic types of the signature library's interface (LP64: unsigned long is 64 bits). */
#pragma once

typedef unsigned long DWORD;
typedef int BOOL;
typedef unsigned short WORD;
typedef void *PVOID;

#ifndef SWIG
#ifndef __cplusplus
#include <assert.h> /* static_assert in C */
#endif
static_assert(sizeof(DWORD) == 8, "DWORD is an unsigned 64-bit integer");
static_assert(sizeof(BOOL) == 4, "BOOL is a signed 32-bit integer");
static_assert(sizeof(WORD) == 2, "WORD is an unsigned 16-bit integer");
#endif
