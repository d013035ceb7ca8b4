// File-system routines. Each returns 0 on success or one of the negative codes below.
#pragma once

#include <cstddef>

enum fsutils_status : int {
    FSUTILS_OK = 0,
    FSUTILS_FAIL = -1,      // general failure
    FSUTILS_BAD_PATH = -2,  // no path, not a regular file, same file, directory in place of a file
    FSUTILS_NO_MEMORY = -4,
    FSUTILS_DENIED = -9,      // permission denied or read-only file system
    FSUTILS_NOT_FOUND = -10,  // no such file
    FSUTILS_TOO_LONG = -11,   // path too long or a value overflow
};

constexpr size_t FSUTILS_PATH_MAX = 4095;  // characters, without the NUL

// Creates the absolute directory `path` and every missing parent with `mode`.
int fsutils_create_dir_r(int mode, const char *path);
// The same, in place on the caller's writable NUL-terminated text of `length`
// characters; the text is unchanged on return.
int fsutils_mkdir_r(int mode, char *path, size_t length);

// Removes a file, or a directory tree depth-first. A symbolic link is removed, never followed.
int fsutils_rm_r(const char *path);
// Removes everything inside the directory `path`; the directory stays.
int fsutils_clear_dir(const char *path);

// Copies the regular file `source` to `target` (absent, or a regular file other than
// the source) through a temporary file renamed over the target, so a failed copy
// leaves an existing target as it was. The target gets the source's permission bits.
int fsutils_cp(const char *source, const char *target);

// Read the rectangle (x, y, w, h) of a width x height raw frame with pread into
// buffer (capacity bufferSize): an I420 frame (Y plane, then the half-resolution U and
// V planes; x, y, w, h and the frame sizes even) or an 8-bit grey frame. *size gets the
// bytes written: w * h * 3 / 2 for I420, w * h for grey.
int fsutils_load_i420(const char *path, unsigned width, unsigned height, unsigned x, unsigned y, unsigned w, unsigned h,
                      unsigned char *buffer, size_t bufferSize, size_t *size);
int fsutils_load_mono8(const char *path, unsigned width, unsigned height, unsigned x, unsigned y, unsigned w,
                       unsigned h, unsigned char *buffer, size_t bufferSize, size_t *size);
