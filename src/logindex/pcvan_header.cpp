// PC-VAN headers: "#1234/1250 ..." then "★タイトル (ABC01234)  96/05/12
// 21:34 (12) ...", and the line count "(n)" that tells how many lines the
// message holds.
#include <cstring>

#include "logindex/header_rules.h"
#include "logindex/header_scan.h"
#include "support/sjis_string.h"

using namespace header_scan;

// PC-VAN line 1: "#1234/1250 ..."
const char PCVAN_LINE1_PATTERN[] = "^#[1-9][0-9]*/[1-9][0-9]*.+";

namespace {

// "^#[1-9][0-9]*/[1-9][0-9]*.+": the second number's further digits and the
// rest are all one ".+", which needs one character after the "[1-9]".
bool is_pcvan_line1(const char* line) {
    UnitScan scan = scan_of(line);
    return next(&scan) == '#' && take_number(&scan) && next(&scan) == '/' &&
           is_unit_in(next(&scan), '1', '9') && peek(scan) != 0;
}

}  // namespace

const HeaderRecognizer PCVAN_LINE1 = make_recognizer(is_pcvan_line1, '#', '#');

// PC-VAN line 2: "★タイトル (ABC01234)  96/05/12  21:34 (12) ..."; the ten
// bytes before the first blank are the five double-byte characters. "\(" and
// "\)" are literal parentheses in the pattern syntax.
const char PCVAN_LINE2_PATTERN[] =
    "^\x81\x9a\x83\x5e\x83\x43\x83\x67\x83\x8b \\([ 0-9A-Z]+\\)  [0-9][0-9]/.+";

namespace {

// One or more of [ 0-9A-Z] as bytes, stopping at the first other byte.
bool take_code_bytes(ByteScan* scan) {
    const uint32_t from = scan->at;
    while (take_ascii_text(scan, " ") || take_ascii_in(scan, '0', '9') ||
           take_ascii_in(scan, 'A', 'Z')) {
    }
    return scan->at > from;
}

// "^★タイトル \([ 0-9A-Z]+\)  [0-9][0-9]/.+"; ")" ends the code, being none
// of its characters.
bool is_pcvan_line2(const char* line) {
    UnitScan scan = scan_of(line);
    if (!take_literal(&scan, "\x81\x9a\x83\x5e\x83\x43\x83\x67\x83\x8b (")) {
        return false;
    }
    // The code and what follows it are ASCII in a header: as bytes first.
    ByteScan bytes{scan.text, scan.position};
    bool held = take_code_bytes(&bytes);
    held = held && take_ascii_text(&bytes, ")  ") && take_ascii_digits(&bytes, 2) &&
           take_ascii_text(&bytes, "/");
    const ByteAnswer answer = answer_of(bytes, held);
    if (answer != ByteAnswer::ASK_UNITS) {
        return answer == ByteAnswer::YES;
    }
    if (!is_code_unit(next(&scan))) {
        return false;
    }
    while (is_code_unit(peek(scan))) {
        next(&scan);
    }
    return take_literal(&scan, ")  ") && take_digits(&scan, 2) && next(&scan) == '/' &&
           peek(scan) != 0;
}

}  // namespace

// Line 2 begins with a double-byte character.
const HeaderRecognizer PCVAN_LINE2 = make_double_byte_recognizer(is_pcvan_line2);

// Year, month, day, hour and minute on line 2.
const int PCVAN_COLUMNS[5] = {23, 26, 29, 33, 36};

// The count "(n)" is searched from this column of line 2 on.
constexpr int LINE_COUNT_COLUMN = 38;

const char* find_line_count_paren(const char* line2) {
    if (std::strlen(line2) <= static_cast<size_t>(LINE_COUNT_COLUMN)) {
        return nullptr;
    }
    return sjis_strchr(line2 + LINE_COUNT_COLUMN, '(');
}

int64_t lines_covered_by_count(int32_t count) {
    if (count <= 0) {
        return 1;
    }
    return static_cast<int64_t>(count) + 2;
}

// 64 bits keep a huge count from overflowing.
int64_t lines_copied_by_count(int32_t count) {
    return (count > 0 ? static_cast<int64_t>(count) : 0) + 5;
}
