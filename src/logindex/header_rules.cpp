// The tables of the header rules, indexed by HeaderPatternIndex or by
// service; the rules themselves are in their formats' files.
#include "logindex/header_rules.h"

const char* const HEADER_PATTERNS[5] = {
    PCVAN_LINE1_PATTERN, NIFTY_LINE1_PATTERN,  PCVAN_LINE2_PATTERN,
    NIFTY_LINE2_PATTERN, NIFTY_BANNER_PATTERN,
};

const HeaderRecognizer* const HEADER_RECOGNIZERS[5] = {
    &PCVAN_LINE1, &NIFTY_LINE1, &PCVAN_LINE2, &NIFTY_LINE2, &NIFTY_BANNER,
};

const int* const HEADER_COLUMNS[2] = {PCVAN_COLUMNS, NIFTY_COLUMNS};

void prepare_header_matchers(int service, HeaderMatchers* matchers) {
    matchers->line1 = *HEADER_RECOGNIZERS[line1_pattern(service)];
    matchers->line2 = *HEADER_RECOGNIZERS[line2_pattern(service)];
    matchers->banner = NIFTY_BANNER;
}
