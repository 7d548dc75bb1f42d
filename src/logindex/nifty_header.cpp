// NIFTY SERVE headers: "00123/00120 ABC01234 ..." then "( 3)   96/05/12
// 21:34 ...", whose "( 3)" is the room number.
#include "logindex/header_rules.h"
#include "logindex/header_scan.h"

using namespace header_scan;

// NIFTY SERVE line 1: "00123/00120 ABC01234 ..."
const char NIFTY_LINE1_PATTERN[] = "^[0-9][0-9][0-9][0-9][0-9]/[0-9][0-9][0-9][0-9][0-9] [A-Z].+";

namespace {

// "^[0-9][0-9][0-9][0-9][0-9]/[0-9][0-9][0-9][0-9][0-9] [A-Z].+"
bool is_nifty_line1(const char* line) {
    ByteScan bytes = byte_scan_of(line);
    const bool held = take_ascii_digits(&bytes, 5) && take_ascii_text(&bytes, "/") &&
                      take_ascii_digits(&bytes, 5) && take_ascii_text(&bytes, " ") &&
                      take_ascii_in(&bytes, 'A', 'Z');
    const ByteAnswer answer = answer_of(bytes, held);
    if (answer != ByteAnswer::ASK_UNITS) {
        return answer == ByteAnswer::YES;
    }
    UnitScan scan = scan_of(line);
    return take_digits(&scan, 5) && next(&scan) == '/' && take_digits(&scan, 5) &&
           next(&scan) == ' ' && is_capital_unit(next(&scan)) && peek(scan) != 0;
}

}  // namespace

const HeaderRecognizer NIFTY_LINE1 = make_recognizer(is_nifty_line1, '0', '9');

// NIFTY SERVE line 2: "( 3)   96/05/12 21:34 ..."; "\(" and "\)" are
// literal parentheses in the pattern syntax.
const char NIFTY_LINE2_PATTERN[] = "^\\([ 0-9][0-9]\\)   [0-9][0-9]/[0-9][0-9]/[0-9][0-9] .+";

namespace {

// "^\([ 0-9][0-9]\)   [0-9][0-9]/[0-9][0-9]/[0-9][0-9] .+"
bool is_nifty_line2(const char* line) {
    ByteScan bytes = byte_scan_of(line);
    const bool held = take_ascii_text(&bytes, "(") &&
                      (take_ascii_text(&bytes, " ") || take_ascii_in(&bytes, '0', '9')) &&
                      take_ascii_digits(&bytes, 1) && take_ascii_text(&bytes, ")   ") &&
                      take_ascii_digits(&bytes, 2) && take_ascii_text(&bytes, "/") &&
                      take_ascii_digits(&bytes, 2) && take_ascii_text(&bytes, "/") &&
                      take_ascii_digits(&bytes, 2) && take_ascii_text(&bytes, " ");
    const ByteAnswer answer = answer_of(bytes, held);
    if (answer != ByteAnswer::ASK_UNITS) {
        return answer == ByteAnswer::YES;
    }
    UnitScan scan = scan_of(line);
    if (next(&scan) != '(' || !is_blank_or_digit_unit(next(&scan))) {
        return false;
    }
    return take_digits(&scan, 1) && take_literal(&scan, ")   ") && take_digits(&scan, 2) &&
           next(&scan) == '/' && take_digits(&scan, 2) && next(&scan) == '/' &&
           take_digits(&scan, 2) && next(&scan) == ' ' && peek(scan) != 0;
}

}  // namespace

const HeaderRecognizer NIFTY_LINE2 = make_recognizer(is_nifty_line2, '(', '(');

// Year, month, day, hour and minute on line 2.
const int NIFTY_COLUMNS[5] = {7, 10, 13, 16, 19};
