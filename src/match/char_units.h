// Shift_JIS characters as units: a single byte's value, or the JIS row and
// cell of a double-byte character. The header rules and the tests' reference
// matcher compare lines unit by unit, so both answer alike.
#pragma once

#include <cstdint>

#include "match/sjis_bytes.h"

// One character: a single byte's value, or the JIS row/cell of a double-byte
// character.
using CharUnit = uint16_t;

inline CharUnit sjis_to_jis(unsigned char lead, unsigned char trail) {
    unsigned hi = (2u * lead) & 0xFFu;
    unsigned lo = (trail - 0x1Fu) & 0xFFu;
    if (lo < 0x80u) lo = (lo + 0xDEu + (lo < 0x61u ? 1u : 0u)) & 0xFFu;
    unsigned word = (hi * 256u + lo + 0x1FA1u) & 0xFFFFu;
    return static_cast<CharUnit>(word & 0x7F7Fu);
}

// The unit at byte `position` of a text being searched and its width in
// bytes. The end of the text is unit 0 with width 0: a NUL, a lead byte
// before the NUL, or the first pair whose unit is 0 (F0 1F, F0 FE).
inline CharUnit text_unit_at(const unsigned char* text, uint32_t position, uint32_t* width) {
    unsigned char first = text[position];
    if (!is_sjis_lead_byte(first)) {
        *width = first != 0 ? 1 : 0;
        return first;
    }
    unsigned char second = text[position + 1];
    CharUnit unit = second != 0 ? sjis_to_jis(first, second) : 0;
    *width = unit != 0 ? 2 : 0;
    return unit;
}
