// Of all forum banner lines of a NIFTY SERVE log, the one with the latest
// date is kept for the head of the rewritten log.
#include "logindex/forum_banner.h"

#include <cstring>

#include "logindex/header_rules.h"
#include "logindex/header_scan.h"
#include "support/sjis_string.h"

using namespace header_scan;

// The banner line's rule.
// "- ABCDEF MES( 3) ROOM NAME 96/05/20"; "\(" and "\)" are literal
// parentheses in the pattern syntax.
const char NIFTY_BANNER_PATTERN[] = "^- [A-Z0-9 ]*MES\\([ 0-9]+\\).+ [0-9][0-9]/[0-9][0-9]/.+";

namespace {

// " [0-9][0-9]/[0-9][0-9]/." at the scan's position.
bool is_banner_date_at(UnitScan scan) {
    return next(&scan) == ' ' && take_digits(&scan, 2) && next(&scan) == '/' &&
           take_digits(&scan, 2) && next(&scan) == '/' && next(&scan) != 0;
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

}  // namespace

const HeaderRecognizer NIFTY_BANNER = make_recognizer(is_nifty_banner, '-', '-');

namespace {

bool is_digit_byte(char c) {
    return c >= '0' && c <= '9';
}

// The date key of the "yy/mm/dd" whose first "/" is `slash`, or 0 when the
// bytes there do not make a date.
uint32_t banner_date_key(const char* line, const char* slash) {
    if (slash - line < 2 || !is_digit_byte(slash[-1]) ||
        !(is_digit_byte(slash[-2]) || is_blank_byte(slash[-2]))) {
        return 0;
    }
    const int year = full_year(read_number(slash - 2));
    const int month = read_number(slash + 1);
    if (month == 0) {
        return 0;
    }
    // The day stands where "yy/mm/dd" has it; a shorter line has none.
    const int day = std::strlen(slash) > 4 ? read_number(slash + 4) : 0;
    if (day == 0) {
        return 0;
    }
    return make_date_key(year, month, day);
}

}  // namespace

void reset_forum_banner(ForumBanner* banner) {
    banner->line[0] = '\0';
    banner->length = 0;
    banner->key = 0;
}

// Only a strictly later date replaces the kept line, so of equal dates the
// first line read stays.
void note_forum_banner(ForumBanner* banner, const char* line, size_t length) {
    if (length >= sizeof banner->line) {
        return;  // never longer than one piece; nothing else fits
    }
    const char* slash = sjis_strchr(line, '/');
    if (slash == nullptr) {
        return;
    }
    const uint32_t key = banner_date_key(line, slash);
    if (key == 0 || key <= banner->key) {
        return;
    }
    banner->key = key;
    std::memcpy(banner->line, line, length);
    banner->line[length] = '\0';
    banner->length = length;
}
