#include "logindex/log_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "logindex/header_rules.h"
#include "match/pattern_match.h"
#include "support/log_texts.h"
#include "support/sjis_string.h"
#include "support/test_files.h"

namespace {

struct DateCase {
    int year, month, day;
    uint32_t key;
};

TEST(DateKey, PacksLikeFatDates) {
    const DateCase cases[] = {
        {1996, 5, 12, 8364},  {1999, 12, 31, 10143}, {2000, 1, 1, 10273},
        {2005, 12, 3, 13187}, {1980, 1, 1, 33},      {2069, 12, 31, 45983},
        {1970, 1, 1, 60449},  {1979, 0, 0, 65024},   {1996, 16, 5, 8197},  // month 16 masks to 0
        {1996, 17, 32, 8224},                                              // day 32 masks to 0
        {2108, 1, 1, 33},                                                  // years wrap modulo 128
    };
    for (const auto& c : cases) {
        EXPECT_EQ(make_date_key(c.year, c.month, c.day), c.key)
            << c.year << "-" << c.month << "-" << c.day;
    }
}

TEST(DateKey, CenturyTurnSortsInOrderAndSeventiesLast) {
    EXPECT_LT(make_date_key(full_year(99), 12, 31), make_date_key(full_year(0), 1, 1));
    EXPECT_GT(make_date_key(full_year(70), 1, 1), make_date_key(full_year(69), 12, 31));
    EXPECT_EQ(make_date_key(full_year(69), 1, 1), 45601u);
    EXPECT_EQ(make_date_key(full_year(70), 1, 1), 60449u);
}

TEST(DateKey, AbsurdFieldsStayDefined) {
    // Only the low bits count; nothing may overflow on the way there.
    EXPECT_EQ(make_date_key(INT32_MIN, INT32_MIN, INT32_MIN), 34816u);
    EXPECT_EQ(make_date_key(full_year(INT32_MAX), -1, -1) & 0x1FF, 0x1FFu);
    EXPECT_LE(make_date_key(full_year(INT32_MIN), 1, 1), 0xFFFFu);
}

struct TimeCase {
    int hour, minute;
    uint32_t key;
};

TEST(TimeKey, PacksHourAndUnmaskedMinute) {
    const TimeCase cases[] = {
        {0, 0, 0},                       // midnight
        {21, 34, 44096},                 // the worked example
        {23, 59, 48992},                 // the last minute of a day
        {0, 64, 2048},                   // minute 64 spills into the hour bits
        {1, 64, 2048},                   // combined with OR, not added
        {32, 0, 0},                      // hour bits past 16 are cut off
        {0, 2048, 0},                    // so are minute bits
        {-1, 0, 0xF800},                 // a negative hour keeps its low bits
        {INT32_MIN, INT32_MAX, 0xFFE0},  // and so do the extremes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(make_time_key(c.hour, c.minute), c.key) << c.hour << ":" << c.minute;
    }
}

TEST(FullYear, SeventyIsTheCenturyTurn) {
    const int cases[][2] = {{0, 2000},  {5, 2005},  {69, 2069},  {70, 1970},
                            {96, 1996}, {99, 1999}, {100, 2000}, {-5, 1995}};
    for (const auto& c : cases) {
        EXPECT_EQ(full_year(c[0]), c[1]) << c[0];
    }
}

TEST(ReadNumber, BehavesLikeTheDecimalConversion) {
    const std::pair<const char*, int32_t> cases[] = {
        {"05", 5},
        {" 5", 5},
        {"\t\n\v\f\r 7x", 7},
        {"1234/1250", 1234},
        {"00007/00001 A", 7},
        {"", 0},
        {"/12", 0},
        {"-12", -12},
        {"+12", 12},
        {"- 12", 0},  // no blank between sign and digits
        {"+-1", 0},
        {"96/05", 96},
        {"123456789012", static_cast<int32_t>(123456789012LL & 0xFFFFFFFF)},  // wraps
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MIN},
        {"-2147483648", INT32_MIN},
        {"4294967297", 1},
        {"\xa0"
         "5",
         0},  // 0xA0 is no blank in the C locale
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(read_number(text), value) << text;
    }
}

TEST(HeaderPatterns, PcvanLineTwoStartsWithTenShiftJisBytes) {
    // "★タイトル" as five double-byte characters.
    const char* pattern = HEADER_PATTERNS[PATTERN_PCVAN_LINE2];
    EXPECT_EQ(std::strncmp(pattern, "^" PCVAN_TITLE " ", 12), 0);
    EXPECT_EQ(std::strchr(pattern, ' ') - pattern, 11);
}

struct PatternCase {
    int pattern;
    const char* line;
    int matches;
};

TEST(HeaderPatterns, RecognizeHeaderLinesOnly) {
    const PatternCase cases[] = {
        {PATTERN_PCVAN_LINE1, "#1234/1250 \x81\x63\r\n", 1},
        {PATTERN_PCVAN_LINE1, "#1234/5\n", 1},
        {PATTERN_PCVAN_LINE1, "#1234/5", 0},
        {PATTERN_PCVAN_LINE1, "#0123/1250 x", 0},
        {PATTERN_PCVAN_LINE1, "#1234/0250 x", 0},
        {PATTERN_PCVAN_LINE1, " #1234/1250 x", 0},
        {PATTERN_NIFTY_LINE1, "00123/00120 ABC01234 x\n", 1},
        {PATTERN_NIFTY_LINE1, "00123/00120 A\n", 1},
        {PATTERN_NIFTY_LINE1, "0123/00120 ABC01234 x", 0},
        {PATTERN_NIFTY_LINE1, "00123/00120 abc01234 x", 0},
        {PATTERN_PCVAN_LINE2, PCVAN_TITLE " (ABC01234)  96/05/12  21:34 (12) x\r\n", 1},
        {PATTERN_PCVAN_LINE2, PCVAN_TITLE " (AB 1)  96/05/12\n", 1},
        {PATTERN_PCVAN_LINE2, PCVAN_TITLE " (ABC01234) 96/05/12  21:34\n", 0},
        {PATTERN_PCVAN_LINE2, PCVAN_TITLE " (abc01234)  96/05/12  21:34\n", 0},
        {PATTERN_PCVAN_LINE2, "\x81\x9a (ABC01234)  96/05/12  21:34\n", 0},
        {PATTERN_NIFTY_LINE2, "( 3)   96/05/12 21:34 x\n", 1},
        {PATTERN_NIFTY_LINE2, "(12)   96/05/12 2", 1},
        {PATTERN_NIFTY_LINE2, "( 3)  96/05/12 21:34 x\n", 0},
        {PATTERN_NIFTY_LINE2, "( 3)    96/05/12 21:34 x\n", 0},
        {PATTERN_NIFTY_BANNER, "- ABCDEF MES( 3) ROOM NAME 96/05/20\r\n", 1},
        {PATTERN_NIFTY_BANNER, "- MES(12) x 96/05/", 0},
        {PATTERN_NIFTY_BANNER, "-ABCDEF MES( 3) ROOM NAME 96/05/20\n", 0},
        {PATTERN_NIFTY_LINE1, "- ABCDEF MES( 3) ROOM NAME 96/05/20\n", 0},
    };
    // The log job's recognisers agree.
    for (const auto& c : cases) {
        MatchRegisters regs;
        EXPECT_EQ(match_pattern(&regs, c.line, HEADER_PATTERNS[c.pattern]), c.matches)
            << c.pattern << ": " << printable(c.line);
        EXPECT_EQ(line_matches(c.line, *HEADER_RECOGNIZERS[c.pattern]), c.matches == 1)
            << c.pattern;
    }
}

// The column table read against the worked examples: each field lands on
// its first digit. (The keys made of them: IndexerTest.)
TEST(HeaderColumns, ReadTheWorkedExamples) {
    // "★タイトル (ABC01234)  96/05/12  21:34 (12) ..."
    const char pcvan[] = PCVAN_TITLE " (ABC01234)  96/05/12  21:34 (12) x\r\n";
    const char nifty[] = "( 3)   96/05/12 21:34 x\n";
    const char* const lines[] = {pcvan, nifty};
    const struct {
        HeaderColumn column;
        int32_t value;
    } fields[] = {{COLUMN_YEAR, 96},
                  {COLUMN_MONTH, 5},
                  {COLUMN_DAY, 12},
                  {COLUMN_HOUR, 21},
                  {COLUMN_MINUTE, 34}};
    for (int service = 0; service < 2; ++service) {
        for (const auto& field : fields) {
            EXPECT_EQ(read_number(lines[service] + HEADER_COLUMNS[service][field.column]),
                      field.value)
                << service << ": column " << field.column;
        }
    }
    const char* paren = sjis_strchr(pcvan + 38, '(');
    ASSERT_NE(paren, nullptr);
    EXPECT_EQ(paren - pcvan, 39);
    EXPECT_EQ(read_number(paren + 1), 12);
    const char line1[] = "#1234/1250 x";
    EXPECT_EQ(read_number(line1 + 1), 1234);
    EXPECT_EQ(read_number(nifty + 1), 3);
    EXPECT_EQ(read_number("00123/00120 ABC01234 x"), 123);
}

}  // namespace
