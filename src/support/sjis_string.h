// Shift_JIS-aware string routines: delimiter searches and upper-casing that
// never cut a double-byte character in half.
#pragma once

#include "match/sjis_bytes.h"

enum SjisByteKind {
    SJIS_BAD_INDEX = -1,
    SJIS_SINGLE = 0,
    SJIS_LEAD = 1,
    SJIS_TRAIL = 2,
};

// Kind of the byte at `index` of `s` (SjisByteKind values).
int sjis_byte_kind(const char* s, int index);

// First / last byte equal to `ch` that is a single-byte character, or null.
char* sjis_strchr(const char* s, int ch);
char* sjis_strrchr(const char* s, int ch);

// Upper-cases 'a'-'z' in place, leaving double-byte characters alone.
char* sjis_strupr(char* s);

// Copies `src` with its terminator; the areas may overlap.
char* copy_string(char* dst, const char* src);
