// The backtracking search. match_here tries the compiled words in a fixed
// order (a repeat takes one more pass before it gives up, an optional item is
// tried present first, the left alternative before the right) and the first
// success in that order is the result.
//
// Where a plain recursive matcher would make a nested call for a choice, this
// one keeps the other way out on an explicit stack of pending choices, each
// with its word, text position and iteration mark, and returns to the latest
// one on failure. That is the same order of trial, but the depth lives in a
// bounded array instead of on the call stack: '.+' over an 8192-byte line
// needs about 8200 pending choices, 80 KiB here.
//
// Text positions are byte offsets; the text is decoded where the search looks
// at it, so a line that fails on its first characters costs almost nothing
// and a text of any length needs no copy.
#include "match/pattern_match.h"

#include "match/pattern_compiler.h"

namespace {

// Twice what the longest line of the system needs. A search that would keep
// more choices open at once is given up and reports no match: it is never
// answered wrongly, only refused.
constexpr size_t MAX_PENDING_CHOICES = 16384;

// Backtracking over nested repeats can take time exponential in the pattern
// ('(a**********)*c' against a run of "a"). A search that would process more
// words than this in one call is given up the same way. The header patterns
// take at most about four words per character, some 33000 on the worst
// 8192-byte lines; the bound is 30 times that and costs a few milliseconds.
// The fuzz build lowers it so that runaway inputs cost less of its time.
#ifndef ZEMBRA_MATCH_MAX_STEPS
#define ZEMBRA_MATCH_MAX_STEPS (1u << 20)
#endif
constexpr uint32_t MAX_MATCH_STEPS = ZEMBRA_MATCH_MAX_STEPS;

// Positions are 32-bit, like the registers. A search that reaches this far
// into a text is given up the same way.
constexpr uint32_t TEXT_POSITION_LIMIT = 0xFFFF0000u;

constexpr uint16_t CARET = 0x005E;
constexpr uint16_t DOLLAR = 0x0024;

struct PendingChoices {
    uint32_t steps;  // words processed by the whole search so far
    size_t count;
    uint32_t position[MAX_PENDING_CHOICES];
    uint32_t mark[MAX_PENDING_CHOICES];
    uint16_t word[MAX_PENDING_CHOICES];
};

enum AttemptResult { ATTEMPT_FAILED, ATTEMPT_MATCHED, ATTEMPT_GAVE_UP };

// The unit at byte `position` and its width in bytes. The end of the text is
// unit 0 with width 0: a NUL, a lead byte before the NUL, or the first pair
// whose unit is 0 (F0 1F, F0 FE).
inline CharUnit unit_at(const unsigned char* text, uint32_t position, uint32_t* width) {
    unsigned char first = text[position];
    if (!is_sjis_lead_byte(first)) {
        *width = first != 0 ? 1 : 0;
        return first;
    }
    unsigned char second = text[position + 1];
    CharUnit unit = second != 0 ? sjis_to_jis(first, second) : 0;
    *width = unit != 0 ? 2 : 0;
    return unit;
}

inline size_t offset_target(const uint16_t* words, size_t offset_word) {
    return offset_word + static_cast<int16_t>(words[offset_word]) / 2;
}

inline bool push_choice(PendingChoices& pending, size_t word, uint32_t position, uint32_t mark) {
    if (pending.count == MAX_PENDING_CHOICES) return false;
    pending.word[pending.count] = static_cast<uint16_t>(word);
    pending.position[pending.count] = position;
    pending.mark[pending.count] = mark;
    ++pending.count;
    return true;
}

// Steps over the unit at *position when it equals `word`. A literal word is
// never 0, so the end of the text never matches.
inline bool match_unit(const unsigned char* text, uint32_t* position, uint16_t word) {
    uint32_t width = 0;
    if (unit_at(text, *position, &width) != word) return false;
    *position += width;
    return true;
}

// Members lie between the skip word and the terminator that the skip reaches
// past; the scan never leaves them.
bool class_holds(const uint16_t* words, size_t class_word, CharUnit unit) {
    size_t terminator = offset_target(words, class_word + 1) - 1;
    size_t member = class_word + 2;
    bool negated = member < terminator && words[member] == CARET;
    if (negated) ++member;
    bool hit = false;
    while (!hit && member < terminator && words[member] != TOK_END) {
        if (words[member] == TOK_RANGE && member + 2 < terminator) {
            uint16_t low = words[member + 1];
            uint16_t high = words[member + 2];
            if (low > high) {
                uint16_t swap = low;
                low = high;
                high = swap;
            }
            hit = unit >= low && unit <= high;
            member += 3;
        } else {
            hit = words[member] == unit;
            member += 1;
        }
    }
    return hit != negated;
}

// Steps over one unit with the item word at `word`, a literal or a class
// (every item of a fixed start is one of these). False when the unit at
// *position does not match; the end of the text never does.
inline bool match_unit_item(const uint16_t* words, size_t word, const unsigned char* text,
                            uint32_t* position) {
    if (words[word] != TOK_CLASS) return match_unit(text, position, words[word]);
    uint32_t width = 0;
    CharUnit unit = unit_at(text, *position, &width);
    if (unit == 0 || !class_holds(words, word, unit)) return false;
    *position += width;
    return true;
}

// Matches the words from `word` on against the text from `position`, with
// iteration mark `mark`: a repeat makes another pass only when the position
// has moved since the innermost pass still running began. Gives the end of
// the match in *end.
AttemptResult match_here(const uint16_t* words, const unsigned char* text, size_t word,
                         uint32_t position, uint32_t mark, PendingChoices& pending, uint32_t* end) {
    pending.count = 0;
    for (;;) {
        if (++pending.steps > MAX_MATCH_STEPS) return ATTEMPT_GAVE_UP;
        uint16_t current = words[word];
        uint8_t kind = is_operator_word(current) ? PATTERN_CHAR_KINDS[current >> 8] : KIND_LITERAL;
        bool failed = false;
        uint32_t width = 0;
        switch (kind) {
            case KIND_END:
                *end = position;
                return ATTEMPT_MATCHED;
            case KIND_LITERAL:
            case KIND_OPEN_GROUP:
            case KIND_CLOSE_GROUP:
            case KIND_BACKSLASH:
                failed = !match_unit(text, &position, current);
                word += 1;
                break;
            case KIND_DOLLAR:
                if (words[word + 1] != TOK_END) {
                    failed = !match_unit(text, &position, DOLLAR);
                    word += 1;
                } else if (unit_at(text, position, &width) == 0) {
                    *end = position;
                    return ATTEMPT_MATCHED;
                } else {
                    failed = true;
                }
                break;
            case KIND_DOT:
                failed = unit_at(text, position, &width) == 0;
                position += width;
                word += 1;
                break;
            case KIND_CLASS:
                failed = !match_unit_item(words, word, text, &position);
                word = offset_target(words, word + 1);
                break;
            case KIND_DELETE:  // TOK_JUMP
                word = offset_target(words, word + 1);
                break;
            case KIND_BAR:  // TOK_ALT: left now, right when the left fails
                if (!push_choice(pending, offset_target(words, word + 1), position, mark))
                    return ATTEMPT_GAVE_UP;
                word += 2;
                break;
            default: {  // TOK_STAR, TOK_PLUS, TOK_OPT
                bool opening = static_cast<int16_t>(words[word + 1]) > 0;
                size_t target = offset_target(words, word + 1);
                if (opening) {
                    if (kind != KIND_PLUS && !push_choice(pending, target, position, mark))
                        return ATTEMPT_GAVE_UP;
                    word += 2;
                } else if (kind == KIND_QUESTION || position == mark) {
                    word += 2;
                } else {
                    if (!push_choice(pending, word + 2, position, mark)) return ATTEMPT_GAVE_UP;
                    mark = position;
                    word = target;
                }
                break;
            }
        }
        if (position >= TEXT_POSITION_LIMIT) return ATTEMPT_GAVE_UP;
        if (!failed) continue;
        if (pending.count == 0) return ATTEMPT_FAILED;
        --pending.count;
        word = pending.word[pending.count];
        position = pending.position[pending.count];
        mark = pending.mark[pending.count];
    }
}

uint32_t count_units(const unsigned char* text, uint32_t from, uint32_t to) {
    uint32_t units = 0;
    uint32_t width = 0;
    while (from < to && unit_at(text, from, &width) != 0) {
        from += width;
        ++units;
    }
    return units;
}

// Words of one item of the fixed start: a class of many members is rare, and
// one that does not fit here is simply left to the full search.
constexpr size_t FIXED_ITEM_WORDS = 64;

// How far the fixed items of an anchored pattern took the match: where the
// rest of the pattern and of the text begin, and what the items would have
// cost the full search (words and steps).
struct FixedStart {
    size_t pattern_position;
    uint32_t text_position;
    uint32_t items;
    size_t words;  // TOK_START_ANCHOR and the items' words
};

// Tries the fixed items one at a time, each compiled just before it is
// tried. False when one fails on the text, so that no match can exist.
bool match_fixed_start(const unsigned char* text, const char* pattern, FixedStart* fixed) {
    *fixed = FixedStart{1, 0, 0, 1};  // after the "^"
    uint16_t item[FIXED_ITEM_WORDS];
    size_t item_words = 0;
    bool repeated = false;
    while (compile_fixed_item(pattern, &fixed->pattern_position, item, FIXED_ITEM_WORDS,
                              &item_words, &repeated) == 1) {
        uint32_t position = fixed->text_position;
        if (!match_unit_item(item, 0, text, &position)) return false;
        if (repeated) break;
        fixed->text_position = position;
        fixed->items += 1;
        fixed->words += item_words - 1;  // its TOK_END is not part of the pattern
    }
    return true;
}

// The compiled pattern and the pending choices take some 190 KiB of stack,
// which only the lines that get past the fixed start pay for.
[[gnu::noinline]] AttemptResult search_after_fixed_start(const unsigned char* bytes,
                                                         const char* pattern,
                                                         const FixedStart& fixed, uint32_t* end) {
    uint16_t words[MAX_PATTERN_WORDS];
    size_t word_count = 0;
    // The whole compiled pattern must fit, as if compiled in one piece.
    size_t room = fixed.words < MAX_PATTERN_WORDS ? MAX_PATTERN_WORDS - fixed.words : 0;
    if (compile_pattern_rest(pattern, fixed.pattern_position, words, room, &word_count) != 0)
        return ATTEMPT_GAVE_UP;
    PendingChoices pending;
    pending.steps = fixed.items;  // one step for each item word already matched
    return match_here(words, bytes, 0, fixed.text_position, 0, pending, end);
}

[[gnu::noinline]] AttemptResult search(const unsigned char* bytes, const char* pattern,
                                       uint32_t* start, uint32_t* start_units, uint32_t* end) {
    uint16_t words[MAX_PATTERN_WORDS];
    size_t word_count = 0;
    if (compile_pattern(pattern, words, MAX_PATTERN_WORDS, &word_count) != 0)
        return ATTEMPT_GAVE_UP;
    PendingChoices pending;
    pending.steps = 0;
    if (words[0] == TOK_START_ANCHOR) return match_here(words, bytes, 1, 0, 0, pending, end);
    for (;;) {
        AttemptResult result = match_here(words, bytes, 0, *start, *start, pending, end);
        uint32_t width = 0;
        if (result != ATTEMPT_FAILED || unit_at(bytes, *start, &width) == 0) return result;
        *start += width;
        ++*start_units;
        if (*start >= TEXT_POSITION_LIMIT) return ATTEMPT_GAVE_UP;
    }
}

}  // namespace

// regs is cleared first, so a call without a match leaves zeros in it. A
// pattern too large to compile never matches.
int match_pattern(MatchRegisters* regs, const char* text, const char* pattern) {
    if (regs != nullptr) *regs = MatchRegisters{0, 0, 0, 0};
    if (text == nullptr || pattern == nullptr) return 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    uint32_t start = 0;
    uint32_t start_units = 0;
    uint32_t end = 0;
    AttemptResult result = ATTEMPT_FAILED;
    if (has_fixed_start(pattern)) {
        FixedStart fixed;
        if (!match_fixed_start(bytes, pattern, &fixed)) return 0;
        result = search_after_fixed_start(bytes, pattern, fixed, &end);
    } else {
        result = search(bytes, pattern, &start, &start_units, &end);
    }
    if (result != ATTEMPT_MATCHED) return 0;
    if (regs != nullptr) {
        // True byte counts: a double-byte character counts two even where its
        // unit has a zero byte.
        regs->byte_offset = start;
        regs->char_offset = start_units;
        regs->byte_length = end - start;
        regs->char_length = count_units(bytes, start, end);
    }
    return 1;
}
