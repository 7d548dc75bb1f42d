// Compiles a pattern into the 16-bit words that the matching engine runs.
// Every byte string is a pattern; odd input is read as documented next to
// each case, never rejected, except a pattern too large or too deeply nested
// to represent.
#include "match/pattern_compiler.h"

#include <cstring>

// One entry per ASCII value; the KIND_ constants name them.
const uint8_t PATTERN_CHAR_KINDS[128] = {
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  1, 1, 1,   // 0x00
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  1, 1, 1,   // 0x10
    1, 1, 1, 1, 2, 1, 1, 1, 3, 4, 5, 6, 1,  1, 7, 1,   // 0x20: $ ( ) * + .
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  1, 1, 8,   // 0x30: ?
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  1, 1, 1,   // 0x40
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 9, 10, 1, 1, 1,   // 0x50: [ backslash
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  1, 1, 1,   // 0x60
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 11, 1, 1, 12,  // 0x70: bar, DEL
};

namespace {

constexpr uint16_t NO_PENDING_JUMP = 0xFFFF;

struct Compiler {
    const char* pattern;
    size_t position;
    uint16_t* words;
    size_t capacity;
    size_t count;
    bool failed;
};

enum ReadResult { READ_CHAR, READ_END, READ_LONE_LEAD };

// The end of the pattern (a NUL, or a double-byte pair whose unit is 0) is
// left unread so that every enclosing construct sees it too. A lead byte
// right before the NUL is consumed and reported apart.
[[gnu::noinline]] ReadResult read_pattern_pair(Compiler& c, CharUnit* unit) {
    size_t before = c.position;
    bool ended = false;
    *unit = read_unit(c.pattern, &c.position, &ended);
    if (*unit == 0) {
        c.position = before;
        return READ_END;
    }
    return ended ? READ_LONE_LEAD : READ_CHAR;
}

// Patterns are mostly ASCII, one byte a character: that case stays inline.
[[gnu::always_inline]] inline ReadResult read_pattern_char(Compiler& c, CharUnit* unit) {
    unsigned char first = static_cast<unsigned char>(c.pattern[c.position]);
    if (first != 0 && !is_sjis_lead_byte(first)) {
        *unit = first;
        c.position += 1;
        return READ_CHAR;
    }
    return read_pattern_pair(c, unit);
}

// Once the compile has failed, nothing more is stored.
bool reserve(Compiler& c, size_t more) {
    if (c.failed || c.count + more > c.capacity) c.failed = true;
    return !c.failed;
}

[[gnu::always_inline]] inline void append(Compiler& c, uint16_t word) {
    if (c.count < c.capacity && !c.failed) {
        c.words[c.count++] = word;
    } else {
        c.failed = true;
    }
}

void insert_pair(Compiler& c, size_t at, uint16_t first, uint16_t second) {
    if (!reserve(c, 2)) return;
    std::memmove(c.words + at + 2, c.words + at, (c.count - at) * sizeof(uint16_t));
    c.words[at] = first;
    c.words[at + 1] = second;
    c.count += 2;
}

// Word counts stay below MAX_PATTERN_WORDS, so every distance fits 16 bits.
uint16_t forward_offset(size_t words) {
    return static_cast<uint16_t>(words * 2);
}
uint16_t backward_offset(size_t words) {
    return static_cast<uint16_t>(0x10000 - words * 2);
}

// A value of operator shape would be run as an operator; the one-member class
// holding the range v..v matches exactly the unit v instead.
void append_literal(Compiler& c, CharUnit value) {
    if (!is_operator_word(value)) {
        append(c, value);
        return;
    }
    if (!reserve(c, 6)) return;
    const uint16_t encoded[6] = {TOK_CLASS, forward_offset(5), TOK_RANGE, value, value, TOK_END};
    std::memcpy(c.words + c.count, encoded, sizeof encoded);
    c.count += 6;
}

// In a class only 0x0000 (the terminator) and TOK_RANGE are read specially;
// those two values are kept as a range of one.
void append_member(Compiler& c, CharUnit value) {
    if (value != TOK_END && value != TOK_RANGE) {
        append(c, value);
        return;
    }
    append(c, TOK_RANGE);
    append(c, value);
    append(c, value);
}

int hex_digit_value(CharUnit unit) {
    if (unit >= '0' && unit <= '9') return unit - '0';
    if (unit >= 'A' && unit <= 'F') return unit - 'A' + 10;
    if (unit >= 'a' && unit <= 'f') return unit - 'a' + 10;
    return -1;
}

// A missing digit leaves the character that stands in its place unread, so
// the pattern goes on with it (and the end of the pattern stays the end).
bool read_hex_digits(Compiler& c, int digits, unsigned* value) {
    *value = 0;
    for (int k = 0; k < digits; ++k) {
        size_t before = c.position;
        CharUnit unit = 0;
        int digit = read_pattern_char(c, &unit) == READ_CHAR ? hex_digit_value(unit) : -1;
        if (digit < 0) {
            c.position = before;
            return false;
        }
        *value = *value * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

enum EscapeKind {
    ESCAPE_VALUE,       // an ordinary value
    ESCAPE_AT_END,      // a trailing backslash
    ESCAPE_LONE_LEAD,   // a lead byte right before the end: value lead * 256
    ESCAPE_INCOMPLETE,  // \x, \j or \J without all of its digits: never matches
};

struct Escape {
    EscapeKind kind;
    CharUnit value;
};

Escape read_escape(Compiler& c) {
    size_t before = c.position;
    CharUnit unit = 0;
    ReadResult read = read_pattern_char(c, &unit);
    if (read == READ_END) return {ESCAPE_AT_END, 0};
    if (read == READ_LONE_LEAD) return {ESCAPE_LONE_LEAD, unit};
    if (c.position - before == 2) return {ESCAPE_VALUE, unit};
    unsigned digits = 0;
    switch (unit) {
        case 'j':
            if (!read_hex_digits(c, 4, &digits)) return {ESCAPE_INCOMPLETE, NEVER_MATCHING_WORD};
            return {ESCAPE_VALUE, static_cast<CharUnit>(digits)};
        case 'J':
            if (!read_hex_digits(c, 4, &digits)) return {ESCAPE_INCOMPLETE, NEVER_MATCHING_WORD};
            return {ESCAPE_VALUE, sjis_to_jis(static_cast<unsigned char>(digits >> 8),
                                              static_cast<unsigned char>(digits & 0xFF))};
        case 'x':
        case 'X':
            if (!read_hex_digits(c, 2, &digits)) return {ESCAPE_INCOMPLETE, NEVER_MATCHING_WORD};
            return {ESCAPE_VALUE, static_cast<CharUnit>(digits)};
        case 't':
        case 'T':
            return {ESCAPE_VALUE, 0x0009};
        case 'n':
        case 'N':
            return {ESCAPE_VALUE, 0x000A};
        case 'r':
        case 'R':
            return {ESCAPE_VALUE, 0x000D};
        default:
            if (unit >= 'a' && unit <= 'z') unit = static_cast<CharUnit>(unit - 0x20);
            return {ESCAPE_VALUE, unit};
    }
}

// After a member and "-": reads the second bound and replaces the member
// (which starts at word `member_at`) by the range. Returns false when the
// class ends here instead, the "-" dropped.
bool compile_range(Compiler& c, CharUnit first, bool first_valid, size_t member_at) {
    CharUnit bound = 0;
    ReadResult read = read_pattern_char(c, &bound);
    if (read != READ_CHAR || bound == ']') return false;
    bool bound_valid = true;
    if (bound == '\\') {
        Escape escape = read_escape(c);
        bound = escape.value;  // 0 for a trailing backslash
        bound_valid = escape.kind != ESCAPE_INCOMPLETE;
    }
    c.count = member_at;
    if (first_valid && bound_valid) {
        append(c, TOK_RANGE);
        append(c, first);
        append(c, bound);
    } else {
        append(c, NEVER_MATCHING_WORD);
    }
    return true;
}

void compile_class(Compiler& c) {
    size_t class_start = c.count;
    append(c, TOK_CLASS);
    append(c, 0);  // skip, set below
    bool has_previous = false;
    bool previous_valid = false;
    CharUnit previous = 0;
    size_t previous_at = 0;
    while (!c.failed) {
        CharUnit unit = 0;
        if (read_pattern_char(c, &unit) != READ_CHAR || unit == ']') break;
        if (unit == '-' && has_previous) {
            if (!compile_range(c, previous, previous_valid, previous_at)) break;
            has_previous = false;
            continue;
        }
        if (unit == '-') {
            append_member(c, unit);  // a leading "-" is a member, not a range
            continue;
        }
        bool valid = true;
        if (unit == '\\') {
            Escape escape = read_escape(c);
            // A trailing backslash or a lone lead byte adds nothing.
            if (escape.kind == ESCAPE_AT_END || escape.kind == ESCAPE_LONE_LEAD) continue;
            unit = escape.value;
            valid = escape.kind == ESCAPE_VALUE;
        }
        has_previous = true;
        previous_valid = valid;
        previous = unit;
        previous_at = c.count;
        append_member(c, unit);
    }
    append(c, TOK_END);
    if (!c.failed) c.words[class_start + 1] = forward_offset(c.count - class_start - 1);
}

// Wraps the item that starts at word `item_start` as op, n+6, item, op, -(n+2).
void wrap_repeat(Compiler& c, size_t item_start, uint16_t op) {
    size_t item_words = c.count - item_start;
    if (item_words == 0) return;  // nothing to repeat: the operator is ignored
    insert_pair(c, item_start, op, forward_offset(item_words + 3));
    append(c, op);
    append(c, backward_offset(item_words + 1));
}

// Each alternation's TOK_JUMP offset word holds, until the enclosing sequence
// ends, the index of the previous one still waiting; they all reach its end.
void patch_pending_jumps(Compiler& c, uint16_t pending) {
    while (pending != NO_PENDING_JUMP) {
        uint16_t next = c.words[pending];
        c.words[pending] = forward_offset(c.count - pending);
        pending = next;
    }
}

void compile_sequence(Compiler& c, int depth);

void compile_item(Compiler& c, CharUnit unit, size_t* item_start, int depth) {
    *item_start = c.count;
    if (unit >= 0x80) {
        append_literal(c, unit);
        return;
    }
    switch (PATTERN_CHAR_KINDS[unit]) {
        case KIND_DOLLAR:
            append(c, TOK_END_ANCHOR);
            return;
        case KIND_DOT:
            append(c, TOK_ANY);
            return;
        case KIND_CLASS:
            compile_class(c);
            return;
        case KIND_OPEN_GROUP:
            if (depth >= MAX_GROUP_NESTING) {
                c.failed = true;
                return;
            }
            compile_sequence(c, depth + 1);
            return;
        case KIND_BACKSLASH: {
            Escape escape = read_escape(c);
            if (escape.kind != ESCAPE_AT_END) append_literal(c, escape.value);
            return;
        }
        default:
            append_literal(c, unit);  // kinds 1 and 12
            return;
    }
}

// The whole pattern, a group's inside, or the alternatives after a bar.
void compile_sequence(Compiler& c, int depth) {
    size_t sequence_start = c.count;
    size_t item_start = c.count;
    uint16_t pending_jumps = NO_PENDING_JUMP;
    while (!c.failed) {
        CharUnit unit = 0;
        ReadResult read = read_pattern_char(c, &unit);
        if (read == READ_END) break;
        if (read == READ_LONE_LEAD) {
            append(c, unit);  // lead * 256: no text unit equals it
            break;
        }
        uint8_t kind = unit < 0x80 ? PATTERN_CHAR_KINDS[unit] : KIND_LITERAL;
        if (kind == KIND_CLOSE_GROUP) break;
        if (kind == KIND_STAR || kind == KIND_PLUS || kind == KIND_QUESTION) {
            wrap_repeat(c, item_start, static_cast<uint16_t>(unit << 8));
        } else if (kind == KIND_BAR) {
            if (c.count == sequence_start) continue;  // no left side: ignored
            insert_pair(c, sequence_start, TOK_ALT, forward_offset(c.count - sequence_start + 3));
            append(c, TOK_JUMP);
            append(c, pending_jumps);
            pending_jumps = static_cast<uint16_t>(c.count - 1);
            sequence_start = item_start = c.count;
        } else {
            compile_item(c, unit, &item_start, depth);
        }
    }
    if (!c.failed) patch_pending_jumps(c, pending_jumps);
}

}  // namespace

int compile_pattern(const char* pattern, uint16_t* words, size_t capacity, size_t* word_count) {
    *word_count = 0;
    if (pattern == nullptr) return -1;
    Compiler c{pattern, 0,    words, capacity < MAX_PATTERN_WORDS ? capacity : MAX_PATTERN_WORDS,
               0,       false};
    if (pattern[0] == '^') {
        append(c, TOK_START_ANCHOR);
        c.position = 1;
    }
    compile_sequence(c, 0);
    append(c, TOK_END);
    if (c.failed) return -1;
    *word_count = c.count;
    return 0;
}
