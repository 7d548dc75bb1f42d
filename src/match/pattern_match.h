// A small Shift_JIS-aware regular-expression matcher for log header lines.
// Self-contained: it needs nothing from the rest of zembra.
#pragma once

#include <cstddef>
#include <cstdint>

// Where the leftmost match lies, in bytes and in characters.
struct MatchRegisters {
    uint32_t byte_offset;
    uint32_t char_offset;
    uint32_t byte_length;
    uint32_t char_length;
};

// Compiles `pattern` and searches the NUL-terminated Shift_JIS `text` for it.
// Returns 1 and fills `regs` for a match, 0 otherwise. Allocates nothing.
int match_pattern(MatchRegisters* regs, const char* text, const char* pattern);

// The same search with a pattern that compile_pattern has compiled into
// `words`, for a pattern matched against many texts.
int match_compiled(MatchRegisters* regs, const char* text, const uint16_t* words);

// What the first byte of a text says about a match of an anchored pattern
// whose every match begins with one literal, "." or class: most texts are
// turned away on that byte alone, a lead byte needs the character it begins.
enum FirstCharVerdict : uint8_t { FIRST_CHAR_NO_MATCH, FIRST_CHAR_MAY_MATCH, FIRST_CHAR_DECODE };
struct FirstCharFilter {
    uint8_t verdict[256];  // by first byte
    uint16_t item;         // the word of that first item, for FIRST_CHAR_DECODE
};
// Fills `filter` for the compiled `words`. For a pattern without such an
// item every verdict is FIRST_CHAR_MAY_MATCH.
void make_first_char_filter(const uint16_t* words, FirstCharFilter* filter);
// False only where the search of `words` would find no match in `text`.
bool first_char_may_match(const uint16_t* words, const FirstCharFilter& filter, const char* text);

// A pattern compiled once, with its filter. The header patterns take under
// 100 words.
constexpr size_t PREPARED_PATTERN_WORDS = 256;
struct PreparedPattern {
    uint16_t words[PREPARED_PATTERN_WORDS];
    FirstCharFilter filter;
};
// 0, or -1 when the pattern compiles to more than PREPARED_PATTERN_WORDS;
// the prepared pattern then never matches, as match_pattern's would not.
int prepare_pattern(PreparedPattern* prepared, const char* pattern);
// match_pattern's result and registers for the prepared pattern; `regs` may
// be null where only the result counts.
int match_prepared_past_first_byte(MatchRegisters* regs, const char* text,
                                   const PreparedPattern& prepared);
inline int match_prepared(MatchRegisters* regs, const char* text, const PreparedPattern& prepared) {
    if (prepared.filter.verdict[static_cast<unsigned char>(text[0])] == FIRST_CHAR_NO_MATCH) {
        if (regs != nullptr) *regs = MatchRegisters{0, 0, 0, 0};
        return 0;
    }
    return match_prepared_past_first_byte(regs, text, prepared);
}
