// A plain recursive matcher over compiled pattern words: the obvious reading
// of the matching rules, kept apart from the product so that match_pattern can
// be checked against it on every small pattern and text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "match/pattern_match.h"

// The pattern's words, or none when it does not compile.
std::vector<uint16_t> compile_words(const std::string& pattern);

// match_pattern's result and registers for `text`, found by recursion.
int reference_match(MatchRegisters* regs, const std::string& text,
                    const std::vector<uint16_t>& words);
