// The header lines of PC-VAN and NIFTY SERVE logs and the NIFTY SERVE forum
// banner: each rule's pattern text, recogniser and columns live in one file
// (pcvan_header.cpp, nifty_header.cpp, forum_banner.cpp).
#pragma once

#include <cstdint>

#include "logindex/run_options.h"

enum HeaderPatternIndex {
    PATTERN_PCVAN_LINE1 = 0,
    PATTERN_NIFTY_LINE1 = 1,
    PATTERN_PCVAN_LINE2 = 2,
    PATTERN_NIFTY_LINE2 = 3,
    PATTERN_NIFTY_BANNER = 4,
};
// The pattern texts, in the tests' reference matcher's syntax.
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
extern const HeaderRecognizer* const HEADER_RECOGNIZERS[5];

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

enum HeaderColumn { COLUMN_YEAR, COLUMN_MONTH, COLUMN_DAY, COLUMN_HOUR, COLUMN_MINUTE };
// Where line 2 holds each field, by service (SERVICE_PCVAN, SERVICE_NIFTY).
extern const int* const HEADER_COLUMNS[2];

// PC-VAN line counts: the count "(n)" on line 2, searched from column 38 on;
// nullptr where the line has none.
const char* find_line_count_paren(const char* line2);
// Lines a count covers after the header: the body and the two lines that
// close a message; one line for a count of 0 or less. A negative count never
// occurs in a well-formed log; both the indexer and the writer take it as 0.
int64_t lines_covered_by_count(int32_t count);
// Lines the writer copies of a message with a count: the count, the two
// header lines and three around the body.
int64_t lines_copied_by_count(int32_t count);

// Each rule, defined in its format's file; the tables above index them.
extern const char PCVAN_LINE1_PATTERN[];
extern const char PCVAN_LINE2_PATTERN[];
extern const char NIFTY_LINE1_PATTERN[];
extern const char NIFTY_LINE2_PATTERN[];
extern const char NIFTY_BANNER_PATTERN[];
extern const HeaderRecognizer PCVAN_LINE1;
extern const HeaderRecognizer PCVAN_LINE2;
extern const HeaderRecognizer NIFTY_LINE1;
extern const HeaderRecognizer NIFTY_LINE2;
extern const HeaderRecognizer NIFTY_BANNER;
extern const int PCVAN_COLUMNS[5];
extern const int NIFTY_COLUMNS[5];
