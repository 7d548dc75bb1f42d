#include "logindex/forum_banner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The banner the tests note lines into.
ForumBanner tracked;

void note(const std::string& line) {
    note_forum_banner(&tracked, line.c_str(), line.size());
}

std::string kept_line() {
    return std::string(tracked.line, tracked.length);
}

std::string banner(const std::string& date) {
    return "- ABCDEF MES( 3) ROOM NAME " + date + "\r\n";
}

TEST(ForumBannerTest, WorkedExample) {
    reset_forum_banner(&tracked);
    note("- ABCDEF MES( 3) ROOM NAME 96/05/20");
    EXPECT_EQ(tracked.key, 8372u);
    EXPECT_EQ(kept_line(), "- ABCDEF MES( 3) ROOM NAME 96/05/20");
}

// Lines in the order read, and the one that must be kept ("" for none).
TEST(ForumBannerTest, KeepsTheLatestDatedLine) {
    struct Case {
        std::vector<std::string> lines;
        std::string kept;
    } cases[] = {
        {{banner("96/05/12"), banner("97/01/03"), banner("96/12/31")}, banner("97/01/03")},
        {{banner("99/12/31"), banner("05/01/10")}, banner("05/01/10")},
        {{"- A MES( 3) first 96/05/12\r\n", "- A MES( 3) second 96/05/12\r\n"},
         "- A MES( 3) first 96/05/12\r\n"},
        {{banner("96/00/12"), banner("96/05/00")}, ""},
        {{banner("96/05/12"), banner("96/00/20"), banner("96/05/00")}, banner("96/05/12")},
        // 1970-1979 keys lie above every date of 1980-2069.
        {{banner("75/01/01"), banner("69/12/31")}, banner("75/01/01")},
        // A "/" in the free text counts only after a digit and a digit or blank.
        {{"- A MES( 3) A/B 96/05/20\r\n"}, ""},
        {{"- A MES( 3) A1/2 96/05/20\r\n"}, ""},
        {{"- A MES( 3) X  5/01/02\r\n"}, "- A MES( 3) X  5/01/02\r\n"},
        {{"- A MES( 3) X\t5/01/02\r\n", banner("05/01/02")}, "- A MES( 3) X\t5/01/02\r\n"},
        // Too short to hold a day, or no room before the "/": no date.
        {{"- 96/05\r\n", "/5/01/02\r\n", "9/05/02\r\n", "no date\r\n"}, ""},
        {{}, ""},
    };
    for (const Case& c : cases) {
        reset_forum_banner(&tracked);
        for (const std::string& line : c.lines) {
            note(line);
        }
        EXPECT_EQ(kept_line(), c.kept) << (c.lines.empty() ? "" : c.lines.front());
        EXPECT_EQ(tracked.line[tracked.length], '\0');
    }
}

TEST(ForumBannerTest, FreeTextDateIsReadWhereItStands) {
    reset_forum_banner(&tracked);
    note("- A MES( 3) 12/34 96/05/20\r\n");
    // Year 12, month 34 and the day read four bytes after the "/": 96.
    EXPECT_EQ(tracked.key, make_date_key(2012, 34, 96));
}

TEST(ForumBannerTest, LongLineIsKeptWhole) {
    reset_forum_banner(&tracked);
    const std::string long_line = "- A MES( 3) " + std::string(8000, 'N') + " 96/05/20\r\n";
    note(banner("96/05/12"));
    note(long_line);
    EXPECT_EQ(kept_line(), long_line);
    const std::string full_piece = "- A MES( 3) 97/01/01 " + std::string(8192 - 21, 'x');
    ASSERT_EQ(full_piece.size(), 8192u);
    note(full_piece);
    EXPECT_EQ(kept_line(), full_piece);
}

TEST(ForumBannerTest, NulInsideTheLineIsKept) {
    reset_forum_banner(&tracked);
    const std::string line("- A MES( 3) 96/05/20 \0tail\r\n", 28);
    note(line);
    EXPECT_EQ(kept_line(), line);
}

TEST(ForumBannerTest, ResetForgetsTheLine) {
    reset_forum_banner(&tracked);
    note(banner("96/05/20"));
    reset_forum_banner(&tracked);
    EXPECT_EQ(tracked.key, 0u);
    EXPECT_EQ(tracked.length, 0u);
    EXPECT_EQ(tracked.line[0], '\0');
    note(banner("96/05/12"));
    EXPECT_EQ(kept_line(), banner("96/05/12"));
}

}  // namespace
