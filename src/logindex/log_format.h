// The index entry, the reading of header fields and the packing of dates and
// times into sort keys. The header lines themselves are in header_rules.h.
#pragma once

#include <cstdint>

#include "logindex/run_options.h"
#include "support/messages.h"  // report_file_error and the like

constexpr int MAX_INDEX_ENTRIES = 3000;
static_assert(INITIAL_RUN_OPTIONS.max_messages == MAX_INDEX_ENTRIES,
              "a log holds MAX_INDEX_ENTRIES messages unless --max-messages says otherwise");
// A line is read in pieces of at most 8192 bytes plus the terminator.
constexpr int LINE_BUFFER_SIZE = 8193;

struct MessageIndexEntry {
    int32_t number;
    uint32_t date_key;
    uint32_t time_key;
    int32_t line_count;
    int32_t offset;
};
static_assert(sizeof(MessageIndexEntry) == 20, "index entries are five 32-bit fields");

// Room for MAX_INDEX_ENTRIES entries, allocated once at start-up.
using MessageIndex = MessageIndexEntry*;

// Where the indexed messages lie, in file order: each header's offset, and
// whether the writer's line-by-line copy of the message would be exactly the
// bytes from it to the next header, so that they may be copied as they lie.
// Room for as many as the index holds, grown with it.
struct MessageSpans {
    int count;
    int32_t* offsets;
    bool* whole;
};

// The bytes isspace accepts in the C locale; the program never changes locale,
// and a fixed set keeps log bytes of 0x80 and above out of the question.
// Inline: the header fields of 90,000 messages called it half a million times.
inline bool is_blank_byte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The C library's decimal conversion: blanks skipped, optional sign, digits up
// to the first non-digit, 0 when none. Wraps instead of overflowing.
int32_t read_number(const char* text);

// 70-99 are 1970-1999, 00-69 are 2000-2069.
int full_year(int two_digit_year);
// FAT-style date and time keys; every part is masked, never range-checked.
uint32_t make_date_key(int year, int month, int day);
uint32_t make_time_key(int hour, int minute);
