// The header formats of PC-VAN and NIFTY SERVE logs, the index entry, and the
// packing of dates and times into sort keys.
#pragma once

#include <cstdint>

#include "logindex/run_options.h"

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

// Where the first MAX_INDEX_ENTRIES indexed messages lie, in file order: each
// header's offset, and whether the writer's line-by-line copy of the message
// would be exactly the bytes from it to the next header, so that they may be
// copied as they lie.
struct MessageSpans {
    int count;
    int32_t offsets[MAX_INDEX_ENTRIES];
    bool whole[MAX_INDEX_ENTRIES];
};

enum HeaderPatternIndex {
    PATTERN_PCVAN_LINE1 = 0,
    PATTERN_NIFTY_LINE1 = 1,
    PATTERN_PCVAN_LINE2 = 2,
    PATTERN_NIFTY_LINE2 = 3,
    PATTERN_NIFTY_BANNER = 4,
};
extern const char* const HEADER_PATTERNS[5];

// The header patterns of a service's line 1 and line 2.
constexpr HeaderPatternIndex line1_pattern(int service) {
    return static_cast<HeaderPatternIndex>(PATTERN_PCVAN_LINE1 + service);
}
constexpr HeaderPatternIndex line2_pattern(int service) {
    return static_cast<HeaderPatternIndex>(PATTERN_PCVAN_LINE2 + service);
}
static_assert(line1_pattern(SERVICE_PCVAN) == PATTERN_PCVAN_LINE1 &&
                  line1_pattern(SERVICE_NIFTY) == PATTERN_NIFTY_LINE1 &&
                  line2_pattern(SERVICE_PCVAN) == PATTERN_PCVAN_LINE2 &&
                  line2_pattern(SERVICE_NIFTY) == PATTERN_NIFTY_LINE2,
              "the patterns of a service's header lines are found by its number");

// Recognises the lines of one header pattern: line_matches is true exactly
// where match_pattern finds HEADER_PATTERNS[its index] in the NUL-terminated
// line, on every line the passes read (up to 8192 bytes), at a fraction of
// the cost. Indexed like HEADER_PATTERNS.
struct HeaderRecognizer {
    bool (*scan)(const char* line);  // the whole pattern, on any line
    bool may_begin[256];             // false for first bytes no match begins with
};
extern const HeaderRecognizer HEADER_RECOGNIZERS[5];

// The patterns one pass over a log matches.
struct HeaderMatchers {
    HeaderRecognizer line1;
    HeaderRecognizer line2;
    HeaderRecognizer banner;  // NIFTY SERVE forum banner lines
};
void prepare_header_matchers(int service, HeaderMatchers* matchers);
// `line` is NUL-terminated; a NUL inside it ends it for the matcher.
inline bool line_matches(const char* line, const HeaderRecognizer& recognizer) {
    return recognizer.may_begin[static_cast<unsigned char>(line[0])] && recognizer.scan(line);
}

// The one error line: `what` ("" or "Read Error: ", say), the file's name,
// ": " and errno's text; returns -1.
int report_file_error(const char* what, const char* name);
// "Read Error: %s: %s\n" with `path`; returns -1.
int report_read_error(const char* path);

enum HeaderColumn { COLUMN_YEAR, COLUMN_MONTH, COLUMN_DAY, COLUMN_HOUR, COLUMN_MINUTE };
extern const int HEADER_COLUMNS[2][5];

// The bytes isspace accepts in the C locale; the program never changes locale,
// and a fixed set keeps log bytes of 0x80 and above out of the question.
bool is_blank_byte(char c);

// The C library's decimal conversion: blanks skipped, optional sign, digits up
// to the first non-digit, 0 when none. Wraps instead of overflowing.
int32_t read_number(const char* text);

// 70-99 are 1970-1999, 00-69 are 2000-2069.
int full_year(int two_digit_year);
// FAT-style date and time keys; every part is masked, never range-checked.
uint32_t make_date_key(int year, int month, int day);
uint32_t make_time_key(int hour, int minute);
