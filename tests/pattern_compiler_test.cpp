// The Shift_JIS character units and the compiled words of patterns.
#include "match/pattern_compiler.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/reference_matcher.h"

namespace {

std::string hex_words(const std::vector<uint16_t>& words) {
    std::string out;
    char buffer[8];
    for (uint16_t word : words) {
        snprintf(buffer, sizeof buffer, "%04X ", word);
        out += buffer;
    }
    return out;
}

TEST(SjisToJis, GivesJisCodesAndDocumentedOddities) {
    struct Row {
        unsigned lead, trail;
        uint16_t unit;
    };
    const Row rows[] = {
        {0x81, 0x9A, 0x217A},  // ★
        {0x83, 0x5E, 0x253F},  // タ
        {0x81, 0x40, 0x2121},  // ideographic space
        {0x82, 0xA0, 0x2422},  // あ
        {0x83, 0x5C, 0x253D},  // ソ
        {0x87, 0x40, 0x2D21},  // ①
        {0xF0, 0xA0, 0x0022},  // falls onto ASCII
        {0xF0, 0xA8, 0x002A}, {0xF0, 0x1F, 0x0000},
        {0xF0, 0xFE, 0x0000}, {0x85, 0xFE, 0x2A00},  // shape of an operator word
        {0x85, 0x1F, 0x2A00},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(sjis_to_jis(static_cast<unsigned char>(row.lead),
                              static_cast<unsigned char>(row.trail)),
                  row.unit)
            << std::hex << row.lead << " " << row.trail;
    }
}

TEST(ReadUnit, ReadsCharactersAndTheEnd) {
    struct Row {
        const char* text;
        CharUnit unit;
        size_t position;
        bool ended;
    };
    const Row rows[] = {
        {"", 0, 0, true},
        {"a", 0x61, 1, false},
        {"\x80", 0x80, 1, false},
        {"\xA0", 0xA0, 1, false},
        {"\xB1", 0xB1, 1, false},  // half-width katakana
        {"\xDF", 0xDF, 1, false},
        {"\xFD", 0xFD, 1, false},
        {"\xFF", 0xFF, 1, false},
        {"\x83\x5E", 0x253F, 2, false},
        {"\x83\n", sjis_to_jis(0x83, '\n'), 2, false},  // a line feed taken as second byte
        {"\x83", 0x8300, 1, true},                      // lone lead byte
        {"\xFC", 0xFC00, 1, true},
        {"\xE0", 0xE000, 1, true},
    };
    for (const Row& row : rows) {
        size_t position = 0;
        bool ended = false;
        EXPECT_EQ(read_unit(row.text, &position, &ended), row.unit) << row.text;
        EXPECT_EQ(position, row.position) << row.text;
        EXPECT_EQ(ended, row.ended) << row.text;
    }
    size_t position = 1;
    bool ended = false;
    EXPECT_EQ(read_unit("\x83", &position, &ended), 0);  // stays at the end
    EXPECT_EQ(position, 1u);
    EXPECT_TRUE(ended);
}

TEST(PatternCharKinds, OneTableForCompilerAndMatcher) {
    for (int c = 0; c < 128; ++c) {
        uint8_t expected = c == 0 ? KIND_END : KIND_LITERAL;
        switch (c) {
            case '$':
                expected = KIND_DOLLAR;
                break;
            case '(':
                expected = KIND_OPEN_GROUP;
                break;
            case ')':
                expected = KIND_CLOSE_GROUP;
                break;
            case '*':
                expected = KIND_STAR;
                break;
            case '+':
                expected = KIND_PLUS;
                break;
            case '.':
                expected = KIND_DOT;
                break;
            case '?':
                expected = KIND_QUESTION;
                break;
            case '[':
                expected = KIND_CLASS;
                break;
            case '\\':
                expected = KIND_BACKSLASH;
                break;
            case '|':
                expected = KIND_BAR;
                break;
            case 0x7F:
                expected = KIND_DELETE;
                break;
        }
        EXPECT_EQ(PATTERN_CHAR_KINDS[c], expected) << c;
    }
    // Each operator word's high byte looks up the kind its matcher action needs.
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_STAR >> 8], KIND_STAR);
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_PLUS >> 8], KIND_PLUS);
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_OPT >> 8], KIND_QUESTION);
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_ANY >> 8], KIND_DOT);
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_CLASS >> 8], KIND_CLASS);
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_ALT >> 8], KIND_BAR);
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_JUMP >> 8], KIND_DELETE);
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_END_ANCHOR >> 8], KIND_DOLLAR);
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_START_ANCHOR >> 8], KIND_LITERAL);
    EXPECT_EQ(PATTERN_CHAR_KINDS[TOK_RANGE >> 8], KIND_LITERAL);
}

struct CompileRow {
    const char* pattern;
    std::vector<uint16_t> words;
};

void expect_compiles(const std::vector<CompileRow>& rows) {
    for (const CompileRow& row : rows) {
        EXPECT_EQ(hex_words(compile_words(row.pattern)), hex_words(row.words)) << row.pattern;
    }
}

TEST(CompilePattern, DocumentedExamples) {
    expect_compiles({
        {"a*", {0x2A00, 0x0008, 0x0061, 0x2A00, 0xFFFC, 0x0000}},
        {"a*b|c",
         {0x7C00, 0x0012, 0x2A00, 0x0008, 0x0061, 0x2A00, 0xFFFC, 0x0062, 0x7F00, 0x0004, 0x0063,
          0x0000}},
        {"[a-c^x]", {0x5B00, 0x000E, 0x2D00, 0x0061, 0x0063, 0x005E, 0x0078, 0x0000, 0x0000}},
        {"(ab)*c$", {0x2A00, 0x000A, 0x0061, 0x0062, 0x2A00, 0xFFFA, 0x0063, 0x2400, 0x0000}},
        {"^#[1-9][0-9]*/[1-9][0-9]*.+",
         {0x5E00, 0x0023, 0x5B00, 0x000A, 0x2D00, 0x0031, 0x0039, 0x0000, 0x2A00, 0x0012, 0x5B00,
          0x000A, 0x2D00, 0x0030, 0x0039, 0x0000, 0x2A00, 0xFFF2, 0x002F, 0x5B00, 0x000A, 0x2D00,
          0x0031, 0x0039, 0x0000, 0x2A00, 0x0012, 0x5B00, 0x000A, 0x2D00, 0x0030, 0x0039, 0x0000,
          0x2A00, 0xFFF2, 0x2B00, 0x0008, 0x2E00, 0x2B00, 0xFFFC, 0x0000}},
    });
    EXPECT_EQ(compile_words("^#[1-9][0-9]*/[1-9][0-9]*.+").size(), 41u);
}

TEST(CompilePattern, OddInputReadings) {
    expect_compiles({
        {"", {0x0000}},
        {"^", {0x5E00, 0x0000}},
        {"*a", {0x0061, 0x0000}},
        {"^*", {0x5E00, 0x0000}},
        {"ab)cd", {0x0061, 0x0062, 0x0000}},
        {"[^-a]", {0x5B00, 0x000A, 0x2D00, 0x005E, 0x0061, 0x0000, 0x0000}},
        {"[a-]", {0x5B00, 0x0006, 0x0061, 0x0000, 0x0000}},
        {"[-a]", {0x5B00, 0x0008, 0x002D, 0x0061, 0x0000, 0x0000}},
        {"[-]", {0x5B00, 0x0006, 0x002D, 0x0000, 0x0000}},
        {"[a-c-e]", {0x5B00, 0x000E, 0x2D00, 0x0061, 0x0063, 0x002D, 0x0065, 0x0000, 0x0000}},
        {"[a-\\", {0x5B00, 0x000A, 0x2D00, 0x0061, 0x0000, 0x0000, 0x0000}},
        {"[]a]", {0x5B00, 0x0004, 0x0000, 0x0061, 0x005D, 0x0000}},
        {"[", {0x5B00, 0x0004, 0x0000, 0x0000}},
        {"[a\\", {0x5B00, 0x0006, 0x0061, 0x0000, 0x0000}},
        {"[\\^a]", {0x5B00, 0x0008, 0x005E, 0x0061, 0x0000, 0x0000}},
        {"[a-\\]]", {0x5B00, 0x000A, 0x2D00, 0x0061, 0x005D, 0x0000, 0x0000}},
        {"a\\", {0x0061, 0x0000}},
        {"(", {0x0000}},
        {"(ab", {0x0061, 0x0062, 0x0000}},
        {"a(*)b", {0x0061, 0x0062, 0x0000}},
        {"a()*b", {0x0061, 0x0062, 0x0000}},
        {"|a", {0x0061, 0x0000}},
        {"a||b", {0x7C00, 0x0008, 0x0061, 0x7F00, 0x0004, 0x0062, 0x0000}},
        {"a|", {0x7C00, 0x0008, 0x0061, 0x7F00, 0x0002, 0x0000}},
        {"a|b|c",
         {0x7C00, 0x0008, 0x0061, 0x7F00, 0x000E, 0x7C00, 0x0008, 0x0062, 0x7F00, 0x0004, 0x0063,
          0x0000}},
        {"(a|b)c", {0x7C00, 0x0008, 0x0061, 0x7F00, 0x0004, 0x0062, 0x0063, 0x0000}},
        {"(a|bc)*d",
         {0x2A00, 0x0014, 0x7C00, 0x0008, 0x0061, 0x7F00, 0x0006, 0x0062, 0x0063, 0x2A00, 0xFFF0,
          0x0064, 0x0000}},
        {"^ab|cd",
         {0x5E00, 0x7C00, 0x000A, 0x0061, 0x0062, 0x7F00, 0x0006, 0x0063, 0x0064, 0x0000}},
        {"a**", {0x2A00, 0x0010, 0x2A00, 0x0008, 0x0061, 0x2A00, 0xFFFC, 0x2A00, 0xFFF4, 0x0000}},
        {"a+?", {0x3F00, 0x0010, 0x2B00, 0x0008, 0x0061, 0x2B00, 0xFFFC, 0x3F00, 0xFFF4, 0x0000}},
        {"x^", {0x0078, 0x005E, 0x0000}},
        {"a$|b", {0x7C00, 0x000A, 0x0061, 0x2400, 0x7F00, 0x0004, 0x0062, 0x0000}},
        {"\x7F", {0x007F, 0x0000}},
    });
}

TEST(CompilePattern, Escapes) {
    expect_compiles({
        {"\\a", {0x0041, 0x0000}},
        {"\\j2422", {0x2422, 0x0000}},
        {"\\J82A0", {0x2422, 0x0000}},
        {"\\J82a0", {0x2422, 0x0000}},
        {"\\t", {0x0009, 0x0000}},
        {"\\T", {0x0009, 0x0000}},
        {"\\x09", {0x0009, 0x0000}},
        {"\\X4a", {0x004A, 0x0000}},
        {"\\n\\N\\r\\R", {0x000A, 0x000A, 0x000D, 0x000D, 0x0000}},
        {"\\(\\)\\\\\\$\\.", {0x0028, 0x0029, 0x005C, 0x0024, 0x002E, 0x0000}},
        {"\\z\\Z\\1", {0x005A, 0x005A, 0x0031, 0x0000}},
        {"\\\xB1", {0x00B1, 0x0000}},
        {"\\\x83\x5C", {0x253D, 0x0000}},  // ソ
        {"\x83\x5C", {0x253D, 0x0000}},    // second byte is "\" but means nothing
        {"\x83\x5E", {0x253F, 0x0000}},    // second byte is "^"
        {"[\x87\x40]", {0x5B00, 0x0006, 0x2D21, 0x0000, 0x0000}},         // ①, high byte 0x2D
        {"a\xF0\xA8", {0x2A00, 0x0008, 0x0061, 0x2A00, 0xFFFC, 0x0000}},  // unit 0x002A acts as "*"
    });
}

// Choices where the words described cannot be used as they are: values of
// operator shape become a one-member class holding exactly that unit; hex
// escapes short of digits never match and leave the stopping character to be
// read again; a lone lead byte at the end never matches in a sequence and
// adds nothing to a class.
TEST(CompilePattern, ValuesThatMustNotActAsOperators) {
    const uint16_t never = NEVER_MATCHING_WORD;
    expect_compiles({
        {"\\x00", {0x5B00, 0x000A, 0x2D00, 0x0000, 0x0000, 0x0000, 0x0000}},
        {"a\\x00b", {0x0061, 0x5B00, 0x000A, 0x2D00, 0x0000, 0x0000, 0x0000, 0x0062, 0x0000}},
        {"\\j2A00", {0x5B00, 0x000A, 0x2D00, 0x2A00, 0x2A00, 0x0000, 0x0000}},
        {"\x85\x1F", {0x5B00, 0x000A, 0x2D00, 0x2A00, 0x2A00, 0x0000, 0x0000}},
        {"\\j5E00a", {0x5B00, 0x000A, 0x2D00, 0x5E00, 0x5E00, 0x0000, 0x0061, 0x0000}},
        {"\\j7F00", {0x5B00, 0x000A, 0x2D00, 0x7F00, 0x7F00, 0x0000, 0x0000}},
        {"\\x00*",
         {0x2A00, 0x0012, 0x5B00, 0x000A, 0x2D00, 0x0000, 0x0000, 0x0000, 0x2A00, 0xFFF2, 0x0000}},
        {"[\\j2D00]", {0x5B00, 0x000A, 0x2D00, 0x2D00, 0x2D00, 0x0000, 0x0000}},
        {"[\\x00a]", {0x5B00, 0x000C, 0x2D00, 0x0000, 0x0000, 0x0061, 0x0000, 0x0000}},
        {"[\\j2A00]", {0x5B00, 0x0006, 0x2A00, 0x0000, 0x0000}},
        {"\\x", {never, 0x0000}},
        {"\\xg", {never, 0x0067, 0x0000}},
        {"\\x4", {never, 0x0000}},
        {"\\j24", {never, 0x0000}},
        {"\\j24g", {never, 0x0067, 0x0000}},
        {"\\J82", {never, 0x0000}},
        {"\\j24(", {never, 0x0000}},  // the "(" is read again and opens an empty group
        {"[\\xg]", {0x5B00, 0x0008, never, 0x0067, 0x0000, 0x0000}},
        {"[a-\\xg]", {0x5B00, 0x0008, never, 0x0067, 0x0000, 0x0000}},
        {"[\\x1-z]", {0x5B00, 0x0006, never, 0x0000, 0x0000}},
        {"a\x83", {0x0061, 0x8300, 0x0000}},
        {"a\\\x83", {0x0061, 0x8300, 0x0000}},
        {"[a\x83", {0x5B00, 0x0006, 0x0061, 0x0000, 0x0000}},
        {"[a\\\x83", {0x5B00, 0x0006, 0x0061, 0x0000, 0x0000}},
        {"[a-\\\x83", {0x5B00, 0x000A, 0x2D00, 0x0061, 0x8300, 0x0000, 0x0000}},
        {"ab\xF0\x1F"
         "cd",
         {0x0061, 0x0062, 0x0000}},  // a pair whose unit is 0 ends the pattern
        {"(a\xF0\x1F)b", {0x0061, 0x0000}},
    });
}

TEST(CompilePattern, RefusesWhatOffsetsOrNestingCannotHold) {
    std::vector<uint16_t> words(MAX_PATTERN_WORDS);
    size_t count = 0;
    std::string largest(MAX_PATTERN_WORDS - 1, 'a');
    EXPECT_EQ(compile_pattern(largest.c_str(), words.data(), words.size(), &count), 0);
    EXPECT_EQ(count, MAX_PATTERN_WORDS);
    std::string too_large(MAX_PATTERN_WORDS, 'a');
    EXPECT_EQ(compile_pattern(too_large.c_str(), words.data(), words.size(), &count), -1);
    std::string repeats(MAX_PATTERN_WORDS, '*');  // every repeat adds four words
    EXPECT_EQ(compile_pattern(("a" + repeats).c_str(), words.data(), words.size(), &count), -1);

    // The widest repeat that fits: its offsets stay positive and negative.
    std::string wide = "(" + std::string(MAX_PATTERN_WORDS - 7, 'a') + ")*";
    ASSERT_EQ(compile_pattern(wide.c_str(), words.data(), words.size(), &count), 0);
    EXPECT_EQ(static_cast<int16_t>(words[1]), 2 * static_cast<int>(MAX_PATTERN_WORDS - 7) + 6);
    EXPECT_EQ(static_cast<int16_t>(words[count - 2]),
              -(2 * static_cast<int>(MAX_PATTERN_WORDS - 7) + 2));

    std::string deepest = std::string(MAX_GROUP_NESTING, '(') + "a";
    EXPECT_EQ(compile_pattern(deepest.c_str(), words.data(), words.size(), &count), 0);
    std::string too_deep = std::string(MAX_GROUP_NESTING + 1, '(') + "a";
    EXPECT_EQ(compile_pattern(too_deep.c_str(), words.data(), words.size(), &count), -1);
    std::string very_deep(1000000, '(');
    EXPECT_EQ(compile_pattern(very_deep.c_str(), words.data(), words.size(), &count), -1);
    // Alternatives do not nest the compiler: a long chain of them is fine.
    std::string alternatives = "a";
    for (int k = 0; k < 2000; ++k) alternatives += "|a";
    EXPECT_EQ(compile_pattern(alternatives.c_str(), words.data(), words.size(), &count), 0);
    EXPECT_EQ(compile_pattern(nullptr, words.data(), words.size(), &count), -1);
    EXPECT_EQ(compile_pattern("abc", words.data(), 3, &count), -1);  // caller's room too small
}

}  // namespace
