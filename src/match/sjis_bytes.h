// The Shift_JIS byte rule, the one definition every folder uses. It lives
// with the matcher, the lowest folder, which builds on nothing else.
#pragma once

constexpr bool is_sjis_lead_byte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

constexpr bool is_sjis_trail_byte(unsigned char byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}
