// Internals of the pattern matcher shared by the compiler and the matching
// engine: Shift_JIS character units, the compiled word layout and the table of
// character kinds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "match/char_units.h"

// Compiled pattern layout. Every word is 16 bits. An operator word has a zero
// low byte and bit 15 clear; its high byte is the ASCII pattern character it
// stands for, so PATTERN_CHAR_KINDS serves the compiler and the matcher alike.
// Every other word is a literal that matches one text unit equal to it.
//
//   TOK_END                                  end of pattern (and of a class)
//   TOK_START_ANCHOR                         only ever as word 0
//   TOK_END_ANCHOR                           end of text if TOK_END follows, else "$"
//   TOK_ANY                                  any one character
//   TOK_CLASS skip m1 .. mk 0                skip = 2k + 4 bytes
//   TOK_RANGE lo hi                          a class member: lo..hi, either order
//   op n+6 item(n bytes) op -(n+2)           op = TOK_STAR, TOK_PLUS or TOK_OPT
//   TOK_ALT L+6 left(L bytes) TOK_JUMP R+2 right(R bytes)
//
// Offsets are signed byte distances from the offset word itself, so an offset
// of 2 reaches the next word. The compiler never emits a literal of operator
// shape: such a value (from an escape or an odd double-byte character) becomes
// the one-member class TOK_CLASS 10 TOK_RANGE v v 0, which matches exactly v.
constexpr uint16_t TOK_END = 0x0000;
constexpr uint16_t TOK_START_ANCHOR = 0x5E00;
constexpr uint16_t TOK_END_ANCHOR = 0x2400;
constexpr uint16_t TOK_ANY = 0x2E00;
constexpr uint16_t TOK_CLASS = 0x5B00;
constexpr uint16_t TOK_RANGE = 0x2D00;
constexpr uint16_t TOK_STAR = 0x2A00;
constexpr uint16_t TOK_PLUS = 0x2B00;
constexpr uint16_t TOK_OPT = 0x3F00;
constexpr uint16_t TOK_ALT = 0x7C00;
constexpr uint16_t TOK_JUMP = 0x7F00;

// A literal word that no text unit equals: text units are single bytes or
// JIS codes masked with 0x7F7F. Stands for escapes that lack their digits.
constexpr uint16_t NEVER_MATCHING_WORD = 0xFFFF;

// With at most this many words (TOK_END included) every offset fits a signed
// 16-bit byte distance; a larger compiled pattern is refused.
constexpr size_t MAX_PATTERN_WORDS = 16383;
// Groups open at once. Deeper patterns are refused, which bounds the
// compiler's recursion whatever the pattern.
constexpr int MAX_GROUP_NESTING = 128;

// Kinds of PATTERN_CHAR_KINDS, one per ASCII value.
constexpr uint8_t KIND_END = 0;
constexpr uint8_t KIND_LITERAL = 1;
constexpr uint8_t KIND_DOLLAR = 2;
constexpr uint8_t KIND_OPEN_GROUP = 3;
constexpr uint8_t KIND_CLOSE_GROUP = 4;
constexpr uint8_t KIND_STAR = 5;
constexpr uint8_t KIND_PLUS = 6;
constexpr uint8_t KIND_DOT = 7;
constexpr uint8_t KIND_QUESTION = 8;
constexpr uint8_t KIND_CLASS = 9;
constexpr uint8_t KIND_BACKSLASH = 10;
constexpr uint8_t KIND_BAR = 11;
constexpr uint8_t KIND_DELETE = 12;
extern const uint8_t PATTERN_CHAR_KINDS[128];

inline bool is_operator_word(uint16_t word) {
    return (word & 0x80FF) == 0;
}

// Reads the character at `*position` of a NUL-terminated string. At the NUL
// it gives 0, sets `*ended` and leaves the position. A lead byte before the
// NUL gives lead * 256, sets `*ended` and moves onto the NUL.
inline CharUnit read_unit(const char* string, size_t* position, bool* ended) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(string);
    unsigned char first = bytes[*position];
    *ended = false;
    if (first == 0) {
        *ended = true;
        return 0;
    }
    if (!is_sjis_lead_byte(first)) {
        *position += 1;
        return first;
    }
    unsigned char second = bytes[*position + 1];
    if (second == 0) {
        *ended = true;
        *position += 1;
        return static_cast<CharUnit>(first << 8);
    }
    *position += 2;
    return sjis_to_jis(first, second);
}

// Compiles `pattern` into `words` (room for `capacity` words), TOK_END last.
// Every byte string is a pattern. Returns 0 and the word count, or -1 when the
// compiled form would exceed `capacity` or MAX_PATTERN_WORDS, or nests groups
// deeper than MAX_GROUP_NESTING.
int compile_pattern(const char* pattern, uint16_t* words, size_t capacity, size_t* word_count);
