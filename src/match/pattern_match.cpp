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

// Whether the one-unit item at `word` (a literal, "." or a class) takes
// `unit`, which is not the end of the text.
inline bool item_takes(const uint16_t* words, size_t word, CharUnit unit) {
    switch (word_kind(words[word])) {
        case WORD_ANY:
            return true;
        case WORD_CLASS:
            return class_holds(words, word, unit);
        default:
            return words[word] == unit;
    }
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

// The pending choices take some 160 KiB of stack, which only the texts that
// get past a first-character filter pay for.
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

// The item that every match of an anchored pattern begins with: the word
// after TOK_START_ANCHOR, or the first word inside the "+" constructs that
// open there (their first pass is required), when it is a literal, "." or a
// class. 0 when the pattern has none.
size_t required_first_item(const uint16_t* words) {
    if (words[0] != TOK_START_ANCHOR) return 0;
    size_t word = 1;
    while (word_kind(words[word]) == WORD_PLUS && opens_repeat(words, word)) word += 2;
    const WordKind kind = word_kind(words[word]);
    return kind == WORD_LITERAL || kind == WORD_ANY || kind == WORD_CLASS ? word : 0;
}

// Whether some unit with a high byte of `high` (and a low byte of at most
// 0x7F) lies in low..high_bound.
bool row_meets(unsigned high, uint16_t low, uint16_t high_bound) {
    if (low > high_bound) std::swap(low, high_bound);
    return low <= (high << 8 | 0x7F) && high_bound >= high << 8;
}

// Whether the item might take a double-byte character that begins with
// `lead`. Every such unit has the high byte (2 * lead + 0x1F + carry) & 0x7F
// with a carry of 0 or 1; only a member, range or literal in one of those two
// rows can take one. (A negated class or "." might take any.)
bool item_may_take_lead(const uint16_t* words, size_t item, unsigned char lead) {
    const unsigned rows[2] = {(2u * lead + 0x1Fu) & 0x7Fu, (2u * lead + 0x20u) & 0x7Fu};
    const WordKind kind = word_kind(words[item]);
    if (kind == WORD_ANY) return true;
    if (kind == WORD_LITERAL)
        return row_meets(rows[0], words[item], words[item]) ||
               row_meets(rows[1], words[item], words[item]);
    const size_t terminator = offset_target(words, item + 1) - 1;
    size_t member = item + 2;
    if (member < terminator && words[member] == CARET) return true;
    while (member < terminator && words[member] != TOK_END) {
        const bool range = words[member] == TOK_RANGE && member + 2 < terminator;
        const uint16_t low = range ? words[member + 1] : words[member];
        const uint16_t high = range ? words[member + 2] : words[member];
        if (row_meets(rows[0], low, high) || row_meets(rows[1], low, high)) return true;
        member += range ? 3 : 1;
    }
    return false;
}

}  // namespace

// The search's first step, taken ahead for every possible first byte: the
// item fails on the end of the text (a NUL), and a single byte is its own
// unit. Behind a lead byte the unit depends on the next byte, so the verdict
// is to decode it, unless no character of that lead byte could be taken.
void make_first_char_filter(const uint16_t* words, FirstCharFilter* filter) {
    const size_t item = required_first_item(words);
    filter->item = static_cast<uint16_t>(item);
    for (unsigned byte = 0; byte < 256; ++byte) {
        const unsigned char first = static_cast<unsigned char>(byte);
        uint8_t verdict = FIRST_CHAR_MAY_MATCH;
        if (item != 0 && is_sjis_lead_byte(first)) {
            verdict =
                item_may_take_lead(words, item, first) ? FIRST_CHAR_DECODE : FIRST_CHAR_NO_MATCH;
        } else if (item != 0 &&
                   (byte == 0 || !item_takes(words, item, static_cast<CharUnit>(byte)))) {
            verdict = FIRST_CHAR_NO_MATCH;
        }
        filter->verdict[byte] = verdict;
    }
}

bool first_char_may_match(const uint16_t* words, const FirstCharFilter& filter, const char* text) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    switch (filter.verdict[bytes[0]]) {
        case FIRST_CHAR_NO_MATCH:
            return false;
        case FIRST_CHAR_DECODE: {
            uint32_t width = 0;
            const CharUnit unit = text_unit_at(bytes, 0, &width);
            return unit != 0 && item_takes(words, filter.item, unit);
        }
        default:
            return true;
    }
}

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

int prepare_pattern(PreparedPattern* prepared, const char* pattern) {
    size_t word_count = 0;
    if (compile_pattern(pattern, prepared->words, PREPARED_PATTERN_WORDS, &word_count) != 0) {
        for (uint8_t& verdict : prepared->filter.verdict) verdict = FIRST_CHAR_NO_MATCH;
        return -1;
    }
    make_first_char_filter(prepared->words, &prepared->filter);
    return 0;
}

int match_prepared_past_first_byte(MatchRegisters* regs, const char* text,
                                   const PreparedPattern& prepared) {
    if (!first_char_may_match(prepared.words, prepared.filter, text)) {
        if (regs != nullptr) *regs = MatchRegisters{0, 0, 0, 0};
        return 0;
    }
    return match_compiled(regs, text, prepared.words);
}
