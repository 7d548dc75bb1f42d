#include "logindex/log_format.h"

// Computed in unsigned arithmetic so that a field of many digits wraps modulo
// 2^32 instead of overflowing; the conversion back to int32_t is modular.
int32_t read_number(const char* text) {
    const char* p = text;
    while (is_blank_byte(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int32_t>(value);
}

int full_year(int two_digit_year) {
    const uint32_t century = two_digit_year >= 70 ? 1900u : 2000u;
    // Unsigned so that an absurd field wraps instead of overflowing.
    return static_cast<int>(century + static_cast<uint32_t>(two_digit_year));
}

// FAT date layout: bits 15-9 years since 1980, 8-5 month, 4-0 day. Each part
// is masked to its bits, so 1970-1979 land on 118-127 and sort after 2069.
uint32_t make_date_key(int year, int month, int day) {
    const uint32_t years = (static_cast<uint32_t>(year) - 1980u) & 0x7Fu;
    return (years << 9) | ((static_cast<uint32_t>(month) & 0x0Fu) << 5) |
           (static_cast<uint32_t>(day) & 0x1Fu);
}

// FAT time layout without seconds. The minute is not masked: 64 or more spills
// into the hour bits; no range check is made.
uint32_t make_time_key(int hour, int minute) {
    const uint32_t hour_bits = (static_cast<uint32_t>(hour) << 11) & 0xFFFFu;
    const uint32_t minute_bits = (static_cast<uint32_t>(minute) << 5) & 0xFFFFu;
    return hour_bits | minute_bits;
}
