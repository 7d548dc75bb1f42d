#include "support/sjis_string.h"

#include <cstring>

// Kind of `byte` given the kind of the byte before it (SJIS_SINGLE at the
// start of a string). A lead byte claims the next byte only when that byte can
// be a trail; otherwise the walk starts afresh with it.
static int next_byte_kind(int previous_kind, unsigned char byte) {
    if (previous_kind == SJIS_LEAD) {
        return is_sjis_trail_byte(byte) ? SJIS_TRAIL : SJIS_SINGLE;
    }
    return is_sjis_lead_byte(byte) ? SJIS_LEAD : SJIS_SINGLE;
}

int sjis_byte_kind(const char* s, int index) {
    if (index < 0) {
        return SJIS_BAD_INDEX;
    }
    int kind = SJIS_SINGLE;
    for (int i = 0; s[i] != '\0'; ++i) {
        kind = next_byte_kind(kind, static_cast<unsigned char>(s[i]));
        if (i == index) {
            return kind;
        }
    }
    return SJIS_BAD_INDEX;
}

// Both searches classify in one forward pass: log lines run to 8192 bytes, and
// classifying again from the start for every candidate byte is quadratic. The
// character is compared as an unsigned char, as strchr does.
char* sjis_strchr(const char* s, int ch) {
    const unsigned char wanted = static_cast<unsigned char>(ch);
    int kind = SJIS_SINGLE;
    for (const char* p = s; *p != '\0'; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        kind = next_byte_kind(kind, byte);
        if (byte == wanted && kind == SJIS_SINGLE) {
            return const_cast<char*>(p);
        }
    }
    return nullptr;
}

char* sjis_strrchr(const char* s, int ch) {
    const unsigned char wanted = static_cast<unsigned char>(ch);
    const char* last = nullptr;
    int kind = SJIS_SINGLE;
    for (const char* p = s; *p != '\0'; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        kind = next_byte_kind(kind, byte);
        if (byte == wanted && kind == SJIS_SINGLE) {
            last = p;
        }
    }
    return const_cast<char*>(last);
}

char* sjis_strupr(char* s) {
    upper_case_name(s);
    return s;
}

char* copy_string(char* dst, const char* src) {
    std::memmove(dst, src, std::strlen(src) + 1);
    return dst;
}
