// Of all forum banner lines of a NIFTY SERVE log, the one with the latest
// date is kept for the head of the rewritten log.
#include "logindex/forum_banner.h"

#include <cstring>

#include "support/sjis_string.h"

char latest_banner_line[LINE_BUFFER_SIZE];
size_t latest_banner_length = 0;
uint32_t latest_banner_key = 0;

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

void reset_forum_banner() {
    latest_banner_line[0] = '\0';
    latest_banner_length = 0;
    latest_banner_key = 0;
}

// Only a strictly later date replaces the kept line, so of equal dates the
// first line read stays.
void note_forum_banner(const char* line, size_t length) {
    if (length >= sizeof latest_banner_line) {
        return;  // never longer than one piece; nothing else fits
    }
    const char* slash = sjis_strchr(line, '/');
    if (slash == nullptr) {
        return;
    }
    const uint32_t key = banner_date_key(line, slash);
    if (key == 0 || key <= latest_banner_key) {
        return;
    }
    latest_banner_key = key;
    std::memcpy(latest_banner_line, line, length);
    latest_banner_line[length] = '\0';
    latest_banner_length = length;
}
