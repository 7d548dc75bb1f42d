// The backtracking search. match_here tries the compiled words in a fixed
// order (a repeat takes one more pass before it gives up, an optional item is
// tried present first, the left alternative before the right) and the first
// success in that order is the result.
//
// Where a plain recursive matcher would make a nested call for a choice, this
// one keeps the other way out on an explicit stack of pending choices, each
// with its word, text position and iteration mark, and returns to the latest
// one on failure. That is the same order of trial, but the depth lives in a
// bounded array instead of on the call stack: '.+x' over an 8192-byte line
// needs about 8200 pending choices, 80 KiB here.
//
// Text positions are byte offsets; the text is decoded where the search looks
// at it, so a line that fails on its first characters costs almost nothing
// and a text of any length needs no copy.
#include "match/pattern_match.h"

#include <utility>

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
    if (text_unit_at(text, *position, &width) != word) return false;
    *position += width;
    return true;
}

// Members lie between the skip word and the terminator that the skip reaches
// past; the scan never leaves them.
inline bool class_holds(const uint16_t* words, size_t class_word, CharUnit unit) {
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

// What a compiled word does. An operator word's high byte is its pattern
// character, whose kind in PATTERN_CHAR_KINDS fixes the word's action; these
// names say that action the way the engine reads it.
enum WordKind {
    WORD_END,
    WORD_LITERAL,  // a literal, or an operator word of a literal character
    WORD_END_ANCHOR,
    WORD_ANY,
    WORD_CLASS,
    WORD_JUMP,
    WORD_ALT,
    WORD_STAR,
    WORD_PLUS,
    WORD_OPT,
};

// Indexed by the KIND_ constants.
constexpr WordKind WORD_KIND_OF_CHAR_KIND[13] = {
    WORD_END, WORD_LITERAL, WORD_END_ANCHOR, WORD_LITERAL, WORD_LITERAL, WORD_STAR, WORD_PLUS,
    WORD_ANY, WORD_OPT,     WORD_CLASS,      WORD_LITERAL, WORD_ALT,     WORD_JUMP,
};
static_assert(WORD_KIND_OF_CHAR_KIND[KIND_DOLLAR] == WORD_END_ANCHOR &&
                  WORD_KIND_OF_CHAR_KIND[KIND_DOT] == WORD_ANY &&
                  WORD_KIND_OF_CHAR_KIND[KIND_QUESTION] == WORD_OPT &&
                  WORD_KIND_OF_CHAR_KIND[KIND_CLASS] == WORD_CLASS &&
                  WORD_KIND_OF_CHAR_KIND[KIND_BAR] == WORD_ALT &&
                  WORD_KIND_OF_CHAR_KIND[KIND_DELETE] == WORD_JUMP,
              "word kinds line up with the character kinds");

inline WordKind word_kind(uint16_t word) {
    return is_operator_word(word) ? WORD_KIND_OF_CHAR_KIND[PATTERN_CHAR_KINDS[word >> 8]]
                                  : WORD_LITERAL;
}

// A repeat word's offset is positive where it opens the item and negative
// where it closes it.
inline bool opens_repeat(const uint16_t* words, size_t word) {
    return static_cast<int16_t>(words[word + 1]) > 0;
}

// The closing word of a '.*' or '.+' that ends the pattern (the header
// patterns end so). Its passes would take every character left, and the
// match would end at the end of the text: a third of the work of matching a
// header line, taken in one short loop.
inline bool closes_final_any_run(const uint16_t* words, size_t word) {
    return words[word + 2] == TOK_END && offset_target(words, word + 1) == word - 1 &&
           words[word - 1] == TOK_ANY;
}

uint32_t end_of_text(const unsigned char* text, uint32_t position) {
    uint32_t width = 0;
    while (text_unit_at(text, position, &width) != 0) position += width;
    return position;
}

// Matches the words from `word` on against the text from `position`, with
// iteration mark `mark`: a repeat makes another pass only when the position
// has moved since the innermost pass still running began. Gives the end of
// the match in *end. One case per word kind, in the order of the layout.
AttemptResult match_here(const uint16_t* words, const unsigned char* text, size_t word,
                         uint32_t position, uint32_t mark, PendingChoices& pending, uint32_t* end) {
    pending.count = 0;
    for (;;) {
        if (++pending.steps > MAX_MATCH_STEPS) return ATTEMPT_GAVE_UP;
        const uint16_t current = words[word];
        const WordKind kind = word_kind(current);
        bool failed = false;
        uint32_t width = 0;
        switch (kind) {
            case WORD_END:
                *end = position;
                return ATTEMPT_MATCHED;
            case WORD_LITERAL:
                failed = !match_unit(text, &position, current);
                word += 1;
                break;
            case WORD_END_ANCHOR:  // the end of the text only as the pattern's last word
                if (words[word + 1] == TOK_END) {
                    failed = text_unit_at(text, position, &width) != 0;
                } else {
                    failed = !match_unit(text, &position, DOLLAR);
                }
                word += 1;
                break;
            case WORD_ANY:
                failed = text_unit_at(text, position, &width) == 0;
                position += width;
                word += 1;
                break;
            case WORD_CLASS: {
                const CharUnit unit = text_unit_at(text, position, &width);
                failed = unit == 0 || !class_holds(words, word, unit);
                position += width;
                word = offset_target(words, word + 1);
                break;
            }
            case WORD_JUMP:
                word = offset_target(words, word + 1);
                break;
            case WORD_ALT:  // the left side now, the right one when the left fails
                if (!push_choice(pending, offset_target(words, word + 1), position, mark))
                    return ATTEMPT_GAVE_UP;
                word += 2;
                break;
            case WORD_STAR:
            case WORD_PLUS:
            case WORD_OPT:
                if (opens_repeat(words, word)) {
                    // "*" and "?" may do without the item: that way out waits.
                    if (kind != WORD_PLUS &&
                        !push_choice(pending, offset_target(words, word + 1), position, mark))
                        return ATTEMPT_GAVE_UP;
                    word += 2;
                } else if (kind == WORD_OPT || position == mark) {
                    word += 2;  // no further pass
                } else if (closes_final_any_run(words, word)) {
                    *end = end_of_text(text, position);  // where the passes would stop
                    return ATTEMPT_MATCHED;
                } else {
                    // One more pass from here; leaving the repeat waits.
                    if (!push_choice(pending, word + 2, position, mark)) return ATTEMPT_GAVE_UP;
                    mark = position;
                    word = offset_target(words, word + 1);
                }
                break;
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
    while (from < to && text_unit_at(text, from, &width) != 0) {
        from += width;
        ++units;
    }
    return units;
}

// The pending choices take some 160 KiB of stack; kept out of the callers'
// frames.
[[gnu::noinline]] AttemptResult search(const unsigned char* bytes, const uint16_t* words,
                                       uint32_t* start, uint32_t* start_units, uint32_t* end) {
    PendingChoices pending;
    pending.steps = 0;
    if (words[0] == TOK_START_ANCHOR) return match_here(words, bytes, 1, 0, 0, pending, end);
    for (;;) {
        AttemptResult result = match_here(words, bytes, 0, *start, *start, pending, end);
        uint32_t width = 0;
        if (result != ATTEMPT_FAILED || text_unit_at(bytes, *start, &width) == 0) return result;
        *start += width;
        ++*start_units;
        if (*start >= TEXT_POSITION_LIMIT) return ATTEMPT_GAVE_UP;
    }
}

}  // namespace

// regs is cleared first, so a call without a match leaves zeros in it.
int match_compiled(MatchRegisters* regs, const char* text, const uint16_t* words) {
    if (regs != nullptr) *regs = MatchRegisters{0, 0, 0, 0};
    if (text == nullptr || words == nullptr) return 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    uint32_t start = 0;
    uint32_t start_units = 0;
    uint32_t end = 0;
    if (search(bytes, words, &start, &start_units, &end) != ATTEMPT_MATCHED) return 0;
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

// A pattern too large to compile never matches.
int match_pattern(MatchRegisters* regs, const char* text, const char* pattern) {
    if (regs != nullptr) *regs = MatchRegisters{0, 0, 0, 0};
    uint16_t words[MAX_PATTERN_WORDS];
    size_t word_count = 0;
    if (text == nullptr || compile_pattern(pattern, words, MAX_PATTERN_WORDS, &word_count) != 0)
        return 0;
    return match_compiled(regs, text, words);
}
