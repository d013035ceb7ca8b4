/* Shapes of the generated per-record field tables (kt_record_fields.h). */
#pragma once

#include <stddef.h>

namespace kt_records {

enum kt_field_kind {
    KT_FIELD_WORD,        // WORD
    KT_FIELD_INT,         // int (the library's BOOL)
    KT_FIELD_ULONG,       // unsigned long (the library's DWORD)
    KT_FIELD_ULONGLONG,   // unsigned long long
    KT_FIELD_TEXT_PTR,    // char *: NUL-terminated text or NULL
    KT_FIELD_TEXT_ARRAY,  // char [N]: inline text of at most N-1 bytes
    KT_FIELD_TIME,        // SYSTEMTIME held inline
    KT_FIELD_CERT_LIST,   // KT_CERT_INFO_EX **
};

struct kt_field {
    const char *name;
    kt_field_kind kind;
    size_t offset;
    size_t size;
};

struct kt_record {
    const char *name;
    size_t size;
    const kt_field *fields;
    size_t field_count;
};

}  // namespace kt_records
