// The Shift_JIS byte rule, the one definition every folder uses. It lives
// with the matcher, the lowest folder, which builds on nothing else.
#pragma once

#include <cstddef>

constexpr bool is_sjis_lead_byte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

constexpr bool is_sjis_trail_byte(unsigned char byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// ASCII letters are the only ones a name, a switch or an extension folds.
constexpr unsigned char ascii_upper(unsigned char byte) {
    return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

constexpr unsigned char ascii_lower(unsigned char byte) {
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

constexpr bool is_ascii_letter(unsigned char byte) {
    return ascii_upper(byte) != ascii_lower(byte);
}

// Whether the byte after `byte` is the second byte of its character. Only in
// Shift_JIS (`sjis`) can that byte look like a letter; in UTF-8, EUC-JP and the
// rest every byte of a multi-byte character is 0x80 or above.
constexpr bool starts_double_byte(unsigned char byte, bool sjis) {
    return sjis && is_sjis_lead_byte(byte);
}

// Upper-cases the ASCII letters of a NUL-terminated name in place, never the
// second byte of a double-byte character (0x83 0x61 is a katakana, not "a").
inline void upper_case_name(char* name, bool sjis = true) {
    bool after_lead = false;
    for (; *name != '\0'; ++name) {
        const auto byte = static_cast<unsigned char>(*name);
        if (!after_lead) {
            *name = static_cast<char>(ascii_upper(byte));
        }
        after_lead = !after_lead && starts_double_byte(byte, sjis);
    }
}

// Whether `length` bytes of `a` and `b` are one name by the rule of
// upper_case_name.
inline bool same_ignoring_case(const char* a, const char* b, size_t length, bool sjis = true) {
    bool after_lead = false;
    for (size_t i = 0; i < length; ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (!after_lead) {
            x = ascii_upper(x);
            y = ascii_upper(y);
        }
        if (x != y) {
            return false;
        }
        after_lead = !after_lead && starts_double_byte(x, sjis);
    }
    return true;
}
