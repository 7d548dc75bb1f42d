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
