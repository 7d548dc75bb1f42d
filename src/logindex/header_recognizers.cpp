// The five header patterns written out as straight scans. Each walks the line
// by the matcher's own character units (a double-byte character whose unit
// is a digit or "#" counts as that character, a NUL or a lead byte before it
// ends the line), so it answers as the matcher does, and the one place where
// the matcher would backtrack (the banner's date after free text) becomes a
// search for the date.
#include <cstddef>
#include <cstdint>

#include "logindex/log_format.h"
#include "match/char_units.h"

namespace {

struct UnitScan {
    const unsigned char* text;
    uint32_t position;
};

UnitScan scan_of(const char* line) {
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

bool is_unit_in(CharUnit unit, char low, char high) {
    return unit >= static_cast<unsigned char>(low) && unit <= static_cast<unsigned char>(high);
}

bool is_digit_unit(CharUnit unit) {
    return is_unit_in(unit, '0', '9');
}

bool is_capital_unit(CharUnit unit) {
    return is_unit_in(unit, 'A', 'Z');
}

// [ 0-9], a NIFTY SERVE room number and a banner's message count.
bool is_blank_or_digit_unit(CharUnit unit) {
    return unit == ' ' || is_digit_unit(unit);
}

// [ 0-9A-Z], the code in a PC-VAN title and the forum name in a banner.
bool is_code_unit(CharUnit unit) {
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
bool take_literal(UnitScan* scan, const char* literal) {
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

// A "[1-9][0-9]*" number.
bool take_number(UnitScan* scan) {
    if (!is_unit_in(next(scan), '1', '9')) {
        return false;
    }
    while (is_digit_unit(peek(*scan))) {
        next(scan);
    }
    return true;
}

// " [0-9][0-9]/[0-9][0-9]/." at the scan's position.
bool is_banner_date_at(UnitScan scan) {
    return next(&scan) == ' ' && take_digits(&scan, 2) && next(&scan) == '/' &&
           take_digits(&scan, 2) && next(&scan) == '/' && next(&scan) != 0;
}

// "^#[1-9][0-9]*/[1-9][0-9]*.+": the second number's further digits and the
// rest are all one ".+", which needs one character after the "[1-9]".
bool is_pcvan_line1(const char* line) {
    UnitScan scan = scan_of(line);
    return next(&scan) == '#' && take_number(&scan) && next(&scan) == '/' &&
           is_unit_in(next(&scan), '1', '9') && peek(scan) != 0;
}

// "^[0-9][0-9][0-9][0-9][0-9]/[0-9][0-9][0-9][0-9][0-9] [A-Z].+"
bool is_nifty_line1(const char* line) {
    UnitScan scan = scan_of(line);
    return take_digits(&scan, 5) && next(&scan) == '/' && take_digits(&scan, 5) &&
           next(&scan) == ' ' && is_capital_unit(next(&scan)) && peek(scan) != 0;
}

// "^★タイトル \([ 0-9A-Z]+\)  [0-9][0-9]/.+"; ")" ends the code, being none
// of its characters.
bool is_pcvan_line2(const char* line) {
    UnitScan scan = scan_of(line);
    if (!take_literal(&scan, "\x81\x9a\x83\x5e\x83\x43\x83\x67\x83\x8b (") ||
        !is_code_unit(next(&scan))) {
        return false;
    }
    while (is_code_unit(peek(scan))) {
        next(&scan);
    }
    return take_literal(&scan, ")  ") && take_digits(&scan, 2) && next(&scan) == '/' &&
           peek(scan) != 0;
}

// "^\([ 0-9][0-9]\)   [0-9][0-9]/[0-9][0-9]/[0-9][0-9] .+"
bool is_nifty_line2(const char* line) {
    UnitScan scan = scan_of(line);
    if (next(&scan) != '(' || !is_blank_or_digit_unit(next(&scan))) {
        return false;
    }
    return take_digits(&scan, 1) && take_literal(&scan, ")   ") && take_digits(&scan, 2) &&
           next(&scan) == '/' && take_digits(&scan, 2) && next(&scan) == '/' &&
           take_digits(&scan, 2) && next(&scan) == ' ' && peek(scan) != 0;
}

// "^- [A-Z0-9 ]*MES\([ 0-9]+\).+ [0-9][0-9]/[0-9][0-9]/.+". "M", "E" and
// "S" are forum-name characters and "(" is not, so the name run must end in
// "MES" right before the "(". The ".+" before the date takes at least one
// character and may run over dates, so any date after that one will do.
bool is_nifty_banner(const char* line) {
    UnitScan scan = scan_of(line);
    if (!take_literal(&scan, "- ")) {
        return false;
    }
    CharUnit last[3] = {0, 0, 0};  // the run's last three units, newest last
    while (is_code_unit(peek(scan))) {
        last[0] = last[1];
        last[1] = last[2];
        last[2] = next(&scan);
    }
    if (last[0] != 'M' || last[1] != 'E' || last[2] != 'S' || next(&scan) != '(') {
        return false;
    }
    if (!is_blank_or_digit_unit(next(&scan))) {
        return false;
    }
    while (is_blank_or_digit_unit(peek(scan))) {
        next(&scan);
    }
    if (next(&scan) != ')' || next(&scan) == 0) {
        return false;
    }
    for (; peek(scan) != 0; next(&scan)) {
        if (is_banner_date_at(scan)) {
            return true;
        }
    }
    return false;
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

}  // namespace

const HeaderRecognizer HEADER_RECOGNIZERS[5] = {
    make_recognizer(is_pcvan_line1, '#', '#'),   make_recognizer(is_nifty_line1, '0', '9'),
    make_double_byte_recognizer(is_pcvan_line2), make_recognizer(is_nifty_line2, '(', '('),
    make_recognizer(is_nifty_banner, '-', '-'),
};
