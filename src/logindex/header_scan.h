// The scanning steps the header rules are written in. Each walks a line by
// the matcher's own character units (a double-byte character whose unit is a
// digit or "#" counts as that character, a NUL or a lead byte before it ends
// the line), so a rule answers as the tests' reference matcher does on its
// pattern text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "logindex/header_rules.h"
#include "match/char_units.h"

namespace header_scan {

struct UnitScan {
    const unsigned char* text;
    uint32_t position;
};

inline UnitScan scan_of(const char* line) {
    return UnitScan{reinterpret_cast<const unsigned char*>(line), 0};
}

// The unit at the scan's position; 0 at the end of the text.
[[gnu::always_inline]] inline CharUnit peek(const UnitScan& scan) {
    uint32_t width = 0;
    return text_unit_at(scan.text, scan.position, &width);
}

// The unit at the scan's position, stepping over it; at the end the scan
// stays put and every further unit is 0.
[[gnu::always_inline]] inline CharUnit next(UnitScan* scan) {
    uint32_t width = 0;
    const CharUnit unit = text_unit_at(scan->text, scan->position, &width);
    scan->position += width;
    return unit;
}

inline bool is_unit_in(CharUnit unit, char low, char high) {
    return unit >= static_cast<unsigned char>(low) && unit <= static_cast<unsigned char>(high);
}

inline bool is_digit_unit(CharUnit unit) {
    return is_unit_in(unit, '0', '9');
}

inline bool is_capital_unit(CharUnit unit) {
    return is_unit_in(unit, 'A', 'Z');
}

// [ 0-9], a NIFTY SERVE room number and a banner's message count.
inline bool is_blank_or_digit_unit(CharUnit unit) {
    return unit == ' ' || is_digit_unit(unit);
}

// [ 0-9A-Z], the code in a PC-VAN title and the forum name in a banner.
inline bool is_code_unit(CharUnit unit) {
    return unit == ' ' || is_digit_unit(unit) || is_capital_unit(unit);
}

[[gnu::always_inline]] inline bool take_digits(UnitScan* scan, int count) {
    for (int taken = 0; taken < count; ++taken) {
        if (!is_digit_unit(next(scan))) {
            return false;
        }
    }
    return true;
}

// The units of `literal`, a NUL-terminated pattern text without operators
// that ends on a whole character. A line holding the same bytes holds the
// same units; another line is compared unit by unit, as other byte pairs may
// give the same units. A literal unit is never 0, so the end of the line
// never passes.
inline bool take_literal(UnitScan* scan, const char* literal) {
    const unsigned char* wanted_bytes = reinterpret_cast<const unsigned char*>(literal);
    const unsigned char* bytes = scan->text + scan->position;
    size_t same = 0;
    while (wanted_bytes[same] != 0 && bytes[same] == wanted_bytes[same]) {
        ++same;
    }
    if (wanted_bytes[same] == 0) {
        scan->position += static_cast<uint32_t>(same);
        return true;
    }
    UnitScan wanted = scan_of(literal);
    for (CharUnit unit = next(&wanted); unit != 0; unit = next(&wanted)) {
        if (next(scan) != unit) {
            return false;
        }
    }
    return true;
}

// A header's first bytes are ASCII, and most lines whose first byte a header
// may begin with are no header a few bytes on ("2400bps ..."): a rule takes
// those bytes as bytes first, and decodes units only where the bytes cannot
// tell. The takes stop at the first byte that is not the ASCII wanted.
struct ByteScan {
    const unsigned char* bytes;
    uint32_t at;
};

inline ByteScan byte_scan_of(const char* line) {
    return ByteScan{reinterpret_cast<const unsigned char*>(line), 0};
}

[[gnu::always_inline]] inline bool take_ascii_in(ByteScan* scan, char low, char high) {
    const unsigned char byte = scan->bytes[scan->at];
    if (byte < static_cast<unsigned char>(low) || byte > static_cast<unsigned char>(high)) {
        return false;
    }
    ++scan->at;
    return true;
}

[[gnu::always_inline]] inline bool take_ascii_digits(ByteScan* scan, int count) {
    for (int taken = 0; taken < count; ++taken) {
        if (!take_ascii_in(scan, '0', '9')) {
            return false;
        }
    }
    return true;
}

[[gnu::always_inline]] inline bool take_ascii_text(ByteScan* scan, const char* text) {
    for (; *text != '\0'; ++text) {
        if (!take_ascii_in(scan, *text, *text)) {
            return false;
        }
    }
    return true;
}

enum class ByteAnswer { NO, YES, ASK_UNITS };

// After a chain of takes that `held` or stopped: YES when it held and the
// line goes on past it, NO where it stopped at a byte that is its own unit
// (ASCII, a single-byte kana, the end), so the units differ there as the
// bytes do; ASK_UNITS at a lead byte, whose character may count as ASCII.
[[gnu::always_inline]] inline ByteAnswer answer_of(const ByteScan& scan, bool held) {
    if (held) {
        return peek(UnitScan{scan.bytes, scan.at}) != 0 ? ByteAnswer::YES : ByteAnswer::NO;
    }
    return is_sjis_lead_byte(scan.bytes[scan.at]) ? ByteAnswer::ASK_UNITS : ByteAnswer::NO;
}

// A "[1-9][0-9]*" number.
inline bool take_number(UnitScan* scan) {
    if (!is_unit_in(next(scan), '1', '9')) {
        return false;
    }
    while (is_digit_unit(peek(*scan))) {
        next(scan);
    }
    return true;
}

// Most lines are turned away on their first byte, before any call: a
// pattern that begins with an ASCII character needs that byte or the lead
// byte F0, the only lead byte whose pairs give ASCII units; line 2 of PC-VAN
// begins with a double-byte character.
constexpr HeaderRecognizer make_recognizer(bool (*scan)(const char*), unsigned char low,
                                           unsigned char high) {
    HeaderRecognizer recognizer{scan, {}};
    for (unsigned byte = 0; byte < 256; ++byte) {
        recognizer.may_begin[byte] = (byte >= low && byte <= high) || byte == 0xF0;
    }
    return recognizer;
}

constexpr HeaderRecognizer make_double_byte_recognizer(bool (*scan)(const char*)) {
    HeaderRecognizer recognizer{scan, {}};
    for (unsigned byte = 0; byte < 256; ++byte) {
        recognizer.may_begin[byte] = is_sjis_lead_byte(static_cast<unsigned char>(byte));
    }
    return recognizer;
}

}  // namespace header_scan
