// Searches with match_pattern: the header patterns on real header lines, the
// edges of the syntax, odd bytes, long lines on a small stack, agreement
// with a plain recursive matcher over every small pattern and text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "logindex/header_rules.h"
#include "logindex/log_format.h"
#include "match/pattern_compiler.h"
#include "match/pattern_match.h"
#include "support/log_texts.h"
#include "support/reference_matcher.h"
#include "support/test_files.h"

namespace {

struct MatchRow {
    std::string pattern;
    std::string text;
    int result;
    MatchRegisters regs;  // checked only on a match
};

std::string describe(const MatchRow& row) {
    return "pattern '" + row.pattern + "' text '" + row.text + "'";
}

void expect_matches(const std::vector<MatchRow>& rows) {
    for (const MatchRow& row : rows) {
        MatchRegisters regs{99, 99, 99, 99};
        int result = match_pattern(&regs, row.text.c_str(), row.pattern.c_str());
        EXPECT_EQ(result, row.result) << describe(row);
        if (result != 1 || row.result != 1) continue;
        EXPECT_EQ(regs.byte_offset, row.regs.byte_offset) << describe(row);
        EXPECT_EQ(regs.char_offset, row.regs.char_offset) << describe(row);
        EXPECT_EQ(regs.byte_length, row.regs.byte_length) << describe(row);
        EXPECT_EQ(regs.char_length, row.regs.char_length) << describe(row);
    }
}

const MatchRegisters NONE{0, 0, 0, 0};

std::string repeat(const std::string& piece, size_t times) {
    std::string out;
    for (size_t k = 0; k < times; ++k) out += piece;
    return out;
}
MatchRegisters at_start(uint32_t bytes, uint32_t chars) {
    return {0, 0, bytes, chars};
}

TEST(MatchPattern, HeaderLines) {
    expect_matches({
        {HEADER_PATTERNS[0], "#123/4567 TITLE\r\n", 1, at_start(17, 17)},
        {HEADER_PATTERNS[0], "#12/3\n", 1, at_start(6, 6)},
        {HEADER_PATTERNS[0], "#12/3", 0, NONE},
        {HEADER_PATTERNS[0], "#0/12 x\n", 0, NONE},
        {HEADER_PATTERNS[0], "#12/034 x\n", 0, NONE},
        {HEADER_PATTERNS[0], " #12/34 x\n", 0, NONE},
        {HEADER_PATTERNS[1], "01234/01240 ABC01234  TITLE\r\n", 1, at_start(29, 29)},
        {HEADER_PATTERNS[1], "01234/01240 abc\r\n", 0, NONE},
        {HEADER_PATTERNS[1], "1234/01240 ABC\r\n", 0, NONE},
        {HEADER_PATTERNS[1], "01234/01240 A\r\n", 1, at_start(15, 15)},
        {HEADER_PATTERNS[1], "01234/01240 A", 0, NONE},
        {HEADER_PATTERNS[2], PCVAN_TITLE " (ABC 12)  96/10/01 12:34 TITLE\r\n", 1,
         at_start(43, 38)},
        {HEADER_PATTERNS[2], PCVAN_TITLE " ()  96/10/01\r\n", 0, NONE},
        {HEADER_PATTERNS[2], PCVAN_TITLE " (abc)  96/10/01\r\n", 0, NONE},
        {HEADER_PATTERNS[2], PCVAN_TITLE " (A) 96/10/01\r\n", 0, NONE},
        {HEADER_PATTERNS[2], PCVAN_TITLE "\x81\x40(A)  96/10/01\r\n", 0,
         NONE},  // ideographic space
        {HEADER_PATTERNS[3], "( 5)   96/10/01 12:34 ABC\r\n", 1, at_start(27, 27)},
        {HEADER_PATTERNS[3], "(123)   96/10/01 x\n", 0, NONE},
        {HEADER_PATTERNS[3], "( 5)   96/10/01\r\n", 0, NONE},
        {HEADER_PATTERNS[3], "( 5)   96/10/01 \n", 1, at_start(17, 17)},
        {HEADER_PATTERNS[4], "- FORUM MES(12) TITLE 96/10/01 12:34\r\n", 1, at_start(38, 38)},
        {HEADER_PATTERNS[4], "- MES( 3)  96/10/01\r\n", 1, at_start(21, 21)},
        {HEADER_PATTERNS[4], "- FORUM MES(12) 96/10/01\r\n", 0, NONE},
        {HEADER_PATTERNS[4], "- forum MES(12) X 96/10/01\r\n", 0, NONE},
        {HEADER_PATTERNS[4], "- FORUM MES() X 96/10/01\r\n", 0, NONE},
    });
}

TEST(MatchPattern, CharactersAndEnds) {
    expect_matches({
        {"b",
         "\x83\x5E"
         "b",
         1,
         {2, 1, 1, 1}},
        {"a.b",
         "a\x83\x5E"
         "b",
         1, at_start(4, 3)},
        {".", "\r", 1, at_start(1, 1)},
        {".", "", 0, NONE},
        {"\\\\", "\x83\x5C", 0, NONE},  // ソ: its second byte is not a backslash
        {"\\\\", "x\\", 1, {1, 1, 1, 1}},
        {"\x83\x5C", "\x83\x5C", 1, at_start(2, 1)},
        {"$", "abc", 1, {3, 3, 0, 0}},
        {"a$", "a", 1, at_start(1, 1)},
        {"a$", "a\n", 0, NONE},
        {"^$", "", 1, NONE},
        {"^$", "\n", 0, NONE},
        {"", "abc", 1, NONE},
        {"", "", 1, NONE},
        {"^", "abc", 1, NONE},
        {"a*", "bbb", 1, NONE},
        {"a|", "xyz", 1, NONE},
        {"x$y", "x$y", 1, at_start(3, 3)},
        {"x^", "x^", 1, at_start(2, 2)},
        {"a{2}", "a{2}", 1, at_start(4, 4)},
        {"a{2}", "aa", 0, NONE},
        {"a|b$", "b", 1, at_start(1, 1)},
        {"a|b$", "b\n", 0, NONE},
        {"a|b$", "a\n", 1, at_start(1, 1)},
        {"a$|b", "a$", 1, at_start(2, 2)},
        {"a$|b", "a", 0, NONE},
        {"(a|b$)", "b\n", 0, NONE},  // a group at the end leaves "$" last
        {"(a$)*", "a$", 1, at_start(2, 2)},
        {"ab)cd", "abx", 1, at_start(2, 2)},
        {"(ab", "ab", 1, at_start(2, 2)},
        {"*a", "a", 1, at_start(1, 1)},
        {"|a", "ba", 1, {1, 1, 1, 1}},
        {"a(*)b", "ab", 1, at_start(2, 2)},
        {"a\\", "ab", 1, at_start(1, 1)},
        // The first pair whose unit is 0 ends the text for the matcher.
        {"a",
         "\xF0\x1F"
         "abc",
         0, NONE},
        {"^$",
         "\xF0\x1F"
         "abc",
         1, NONE},
        {"x$",
         "x\xF0\xFE"
         "y",
         1, at_start(1, 1)},
        // A lead byte at the very end is not a character.
        {"a$", "a\x83", 1, at_start(1, 1)},
        {"$", "ab\x83", 1, {2, 2, 0, 0}},
        {".$", "\x83", 0, NONE},
    });
}

TEST(MatchPattern, EscapesAndClasses) {
    expect_matches({
        {"\\a", "A", 1, at_start(1, 1)},
        {"\\a", "a", 0, NONE},
        {"\\t", "\t", 1, at_start(1, 1)},
        {"\\T", "\t", 1, at_start(1, 1)},
        {"\\x09", "\t", 1, at_start(1, 1)},
        {"\\j2422", "\x82\xA0", 1, at_start(2, 1)},  // あ
        {"\\J82A0", "\x82\xA0", 1, at_start(2, 1)},
        {"[^-a]", "^", 1, at_start(1, 1)},
        {"[^-a]", "_", 1, at_start(1, 1)},
        {"[^-a]", "`", 1, at_start(1, 1)},
        {"[^-a]", "a", 1, at_start(1, 1)},
        {"[^-a]", "b", 0, NONE},
        {"[a-]", "-", 0, NONE},
        {"[a-]", "a", 1, at_start(1, 1)},
        {"[-a]", "-", 1, at_start(1, 1)},
        {"[z-a]", "m", 1, at_start(1, 1)},
        {"[a-c-e]", "-", 1, at_start(1, 1)},
        {"[a-c-e]", "e", 1, at_start(1, 1)},
        {"[a-c-e]", "d", 0, NONE},
        {"[]a]", "a]", 0, NONE},
        {"[]a]", "]", 0, NONE},
        {"[^a]", "a", 0, NONE},
        {"[^a]", "", 0, NONE},
        {"[^a]", "ba", 1, at_start(1, 1)},
        {"[a-\\", "\x01", 1, at_start(1, 1)},
        {"[a-\\", "b", 0, NONE},
        {"[\xB1-\xB5]", "\xB1", 1, at_start(1, 1)},              // ｱ-ｵ
        {"[\x82\xA0-\x82\xA4]", "\x82\xA2", 1, at_start(2, 1)},  // あ-う holds い
        {"[\x82\xA0-\x82\xA4]", "\x83\x41", 0, NONE},            // but not ア
        {"[\x87\x40]", "\x87\x40", 1, at_start(2, 1)},           // [①]
        {"[\x87\x40]", "-", 0, NONE},
        {"[\x87\x40]", "\x87\x41", 0, NONE},
        {"[.]", "x", 0, NONE},
        {"[.]", ".", 1, at_start(1, 1)},
    });
}

TEST(MatchPattern, RepeatsAlternativesAndTheIterationMark) {
    expect_matches({
        {"a**", "aaa", 1, at_start(3, 3)},
        {"a+?", "b", 1, NONE},
        {"a+?", "aab", 1, at_start(2, 2)},
        {"a??a", "aa", 1, at_start(2, 2)},
        {"(a*)*b", "aab", 1, at_start(3, 3)},
        {"(a*)*b", "c", 0, NONE},
        {"(a|)*b", "aab", 1, at_start(3, 3)},
        {"(a|)*b", "c", 0, NONE},
        {"(a*)+b", "b", 1, at_start(1, 1)},
        {"((a*)*)*c", "aaab", 0, NONE},
        {"a|ab", "ab", 1, at_start(1, 1)},
        {"(a|ab)c", "abc", 1, at_start(3, 3)},
        {"(a|ab)(c|bcd)", "abcd", 1, at_start(4, 4)},
        {"a*ab", "aaab", 1, at_start(4, 4)},
        {"x(a|b)*y", "zxababy", 1, {1, 1, 6, 6}},
        {"(ab|a)*b", "abab", 1, at_start(4, 4)},
        {"(ac*)*b", "aab", 1, at_start(3, 3)},  // the skipped "c*" keeps the pass's mark
    });
}

// Values that would be operators if written as plain words, hex escapes
// short of digits, lone lead bytes, and how matches are counted.
TEST(MatchPattern, OddBytesInPatternsAndTexts) {
    expect_matches({
        {"\\x00", "a", 0, NONE},
        {"\\x00", "", 0, NONE},
        {"a\\x00|b", "ab", 1, {1, 1, 1, 1}},
        {"\\j2A00", "\x85\x1F", 1, at_start(2, 1)},  // stays a literal
        {"\\j2A00", "a", 0, NONE},
        {"\x85\x1F", "\x85\xFE", 1, at_start(2, 1)},
        {"a\x85\x1F", "a", 0, NONE},  // not a repeat of "a"
        {"a\x85\x1F", "a\x85\x1F", 1, at_start(3, 2)},
        {"\\j7C00b", "b", 0, NONE},  // not an alternation
        {"\\j5E00", "a", 0, NONE},   // not a start anchor
        {"[\\j2D00a]", "a", 1, at_start(1, 1)},
        {"[\\j2D00]", "-", 0, NONE},
        {"[\\x00a]", "a", 1, at_start(1, 1)},
        {"[^\\x00]", "a", 1, at_start(1, 1)},
        {"\\xg", "g", 0, NONE},
        {"\\xg|g", "g", 1, at_start(1, 1)},
        {"\\j24", "$", 0, NONE},
        {"\\x", "", 0, NONE},
        {"a\x83", "a\x83", 0, NONE},  // a lone lead byte never matches
        {"a\\\x83", "a", 0, NONE},
        {"[a\x83", "a", 1, at_start(1, 1)},
        {"a\xF0\xA8", "aaa", 1, at_start(3, 3)},  // unit 0x002A acts as "*"
        {"\"", "\xF0\xA0", 1, at_start(2, 1)},    // unit 0x0022 equals the quote
        // Byte counts are the text's own bytes, two for every double-byte
        // character, even where its unit has a zero byte.
        {"b",
         "\xF0\xA0"
         "b",
         1,
         {2, 1, 1, 1}},
        {"b",
         "\x85\x1F"
         "b",
         1,
         {2, 1, 1, 1}},
    });
}

TEST(MatchPattern, ClearsRegistersWithoutMatchAndRefusesNull) {
    MatchRegisters regs{7, 7, 7, 7};
    EXPECT_EQ(match_pattern(&regs, "abc", "x"), 0);
    EXPECT_EQ(regs.byte_offset + regs.char_offset + regs.byte_length + regs.char_length, 0u);
    EXPECT_EQ(match_pattern(&regs, nullptr, "x"), 0);
    EXPECT_EQ(match_pattern(&regs, "x", nullptr), 0);
    EXPECT_EQ(match_pattern(nullptr, "x", "x"), 1);
}

// --- Long lines and a small stack ---

struct StackRun {
    std::string text;
    const char* pattern;
    int result;
    MatchRegisters regs;
};

void run_stack_match(void* argument) {
    StackRun* run = static_cast<StackRun*>(argument);
    run->result = match_pattern(&run->regs, run->text.c_str(), run->pattern);
}

#ifdef _WIN32
DWORD WINAPI stack_thread(void* argument) {
    run_stack_match(argument);
    return 0;
}
bool run_on_small_stack(StackRun* run, size_t stack_size) {
    HANDLE thread = CreateThread(nullptr, stack_size, stack_thread, run,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
}
#else
void* stack_thread(void* argument) {
    run_stack_match(argument);
    return nullptr;
}
bool run_on_small_stack(StackRun* run, size_t stack_size) {
    pthread_attr_t attributes;
    pthread_t thread;
    if (pthread_attr_init(&attributes) != 0) return false;
    bool started = pthread_attr_setstacksize(&attributes, stack_size) == 0 &&
                   pthread_create(&thread, &attributes, stack_thread, run) == 0;
    pthread_attr_destroy(&attributes);
    if (started) pthread_join(thread, nullptr);
    return started;
}
#endif

constexpr size_t SYSTEM_STACK = 1024 * 1024;

TEST(MatchPattern, LongestLinesFitTheSystemStack) {
    StackRun runs[] = {
        {"#1/1" + std::string(8186, 'x') + "\r\n", HEADER_PATTERNS[0], -1, {}},
        {"#1/1" + repeat("\x83\x5E", 4094), HEADER_PATTERNS[0], -1, {}},  // タ
        {"- " + std::string(8000, 'A') + "MES( 1)" + std::string(172, 'x') + " 96/10/01\r\n",
         HEADER_PATTERNS[4],
         -1,
         {}},
        // Ends in a lone lead byte, which is not a character.
        {PCVAN_TITLE " (A)  96/" + std::string(8192 - 19, '\x81'), HEADER_PATTERNS[2], -1, {}},
    };
    ASSERT_EQ(runs[0].text.size(), 8192u);
    ASSERT_EQ(runs[2].text.size(), 8192u);
    for (StackRun& run : runs) ASSERT_TRUE(run_on_small_stack(&run, SYSTEM_STACK));
    EXPECT_EQ(runs[0].result, 1);
    EXPECT_EQ(runs[0].regs.byte_length, 8192u);
    EXPECT_EQ(runs[0].regs.char_length, 8192u);
    EXPECT_EQ(runs[1].result, 1);
    EXPECT_EQ(runs[1].regs.byte_length, 8192u);
    EXPECT_EQ(runs[1].regs.char_length, 4u + 4094u);
    EXPECT_EQ(runs[2].result, 1);
    EXPECT_EQ(runs[2].regs.byte_length, 8192u);
    EXPECT_EQ(runs[3].result, 1);
    EXPECT_EQ(runs[3].regs.byte_length, 8191u);
}

// Texts far longer than a line: no copy is made, and a search that would need
// more open choices than the fixed room holds is refused rather than guessed.
TEST(MatchPattern, TextsOfAnyLength) {
    std::string long_text = std::string(100000, 'x') + "needle";
    expect_matches({
        {"needle", long_text, 1, {100000, 100000, 6, 6}},
        {"ne+dle$", long_text, 1, {100000, 100000, 6, 6}},
        {"^x*n", long_text, 0, NONE},  // 100000 open choices: refused
        {"^x*", std::string(16000, 'x'), 1, at_start(16000, 16000)},
        {"b", repeat("\x82\xA0", 30000) + "b", 1, {60000, 30000, 1, 1}},
    });
}

TEST(MatchPattern, PatternsAtTheSizeLimit) {
    std::string largest(MAX_PATTERN_WORDS - 1, 'a');
    std::string wide = "(" + std::string(MAX_PATTERN_WORDS - 8, 'a') + ")*b";
    std::string wide_text = std::string(MAX_PATTERN_WORDS - 8, 'a') + "b";
    expect_matches({
        {largest, largest, 1, at_start(MAX_PATTERN_WORDS - 1, MAX_PATTERN_WORDS - 1)},
        {largest + "a", largest + "a", 0, NONE},  // cannot be compiled: never matches
        {wide, wide_text, 1, at_start(MAX_PATTERN_WORDS - 7, MAX_PATTERN_WORDS - 7)},
        {wide, "b", 1, at_start(1, 1)},
        {std::string(MAX_GROUP_NESTING + 1, '(') + "a", "a", 0, NONE},
    });
}

// Nested repeats make backtracking exponential; such a search stops at a
// fixed amount of work and is refused, even where a later alternative would
// have matched.
TEST(MatchPattern, RefusesRunawayBacktracking) {
    std::string stars(30, '*');
    expect_matches({
        {"(a*****)*c|y", "aaaay", 1, {4, 4, 1, 1}},
        {"(a" + stars + ")*c|y", "aaaay", 0, NONE},
        {"(a" + stars + ")*c", "aaaa", 0, NONE},
    });
}

// Committed fuzz inputs (pattern, NUL, text) replayed in the normal build.
TEST(MatchPattern, ReplaysFuzzCorpus) {
    std::string directory = std::string(ZEMBRA_SOURCE_DIR) + "/fuzz/corpus/match";
    std::vector<std::string> names = list_directory(directory);
    EXPECT_FALSE(names.empty());
    for (const std::string& name : names) {
        std::string input = read_file(directory + "/" + name);
        size_t separator = input.find('\0');
        std::string pattern = input.substr(0, separator);
        std::string text = separator == std::string::npos ? "" : input.substr(separator + 1);
        MatchRegisters regs{0, 0, 0, 0};
        int result = match_pattern(&regs, text.c_str(), pattern.c_str());
        ASSERT_TRUE(result == 0 || result == 1) << name;
        size_t length = strlen(text.c_str());
        EXPECT_LE(regs.byte_offset + regs.byte_length, length) << name;
        EXPECT_LE(regs.char_length, regs.byte_length) << name;
    }
}

// --- Agreement with a plain recursive matcher ---

void expect_agreement(const std::string& pattern, const std::vector<uint16_t>& words,
                      const std::string& text) {
    MatchRegisters expected{0, 0, 0, 0};
    MatchRegisters actual{0, 0, 0, 0};
    int expected_result = reference_match(&expected, text, words);
    int actual_result = match_pattern(&actual, text.c_str(), pattern.c_str());
    ASSERT_EQ(actual_result, expected_result)
        << "pattern '" << pattern << "' text '" << text << "'";
    if (actual_result == 0) return;
    ASSERT_EQ(actual.char_offset, expected.char_offset) << pattern << " / " << text;
    ASSERT_EQ(actual.char_length, expected.char_length) << pattern << " / " << text;
    ASSERT_EQ(actual.byte_offset, expected.byte_offset) << pattern << " / " << text;
    ASSERT_EQ(actual.byte_length, expected.byte_length) << pattern << " / " << text;
}

// ASCII, a half-width katakana byte, and double-byte characters whose second
// byte is "\", "|" or "[".
const char* const TEXT_CHARS[] = {"a", "b", "\xB1", "\x83\x5C", "\x83\x7C", "\x83\x5B"};
const char* const PATTERN_TOKENS[] = {"a", "b", "\xB1", "\x83\x5C", "\x83\x7C", "\x83\x5B", ".",
                                      "*", "+", "?",    "|",        "(",        ")",        "[",
                                      "]", "^", "-",    "$",        "\\"};

void all_strings(const char* const* alphabet, size_t size, size_t max_length,
                 std::vector<std::string>* out) {
    std::vector<std::string> level{""};
    out->push_back("");
    for (size_t length = 1; length <= max_length; ++length) {
        std::vector<std::string> next;
        for (const std::string& prefix : level)
            for (size_t k = 0; k < size; ++k) next.push_back(prefix + alphabet[k]);
        out->insert(out->end(), next.begin(), next.end());
        level.swap(next);
    }
}

TEST(MatchPattern, AgreesWithRecursiveMatcherOnEverySmallCase) {
    std::vector<std::string> patterns;
    std::vector<std::string> texts;
    all_strings(PATTERN_TOKENS, std::size(PATTERN_TOKENS), 3, &patterns);
    all_strings(TEXT_CHARS, std::size(TEXT_CHARS), 3, &texts);
    for (const std::string& pattern : patterns) {
        std::vector<uint16_t> words = compile_words(pattern);
        for (const std::string& text : texts) {
            expect_agreement(pattern, words, text);
            if (HasFatalFailure()) return;
        }
    }
}

struct RandomSource {
    uint32_t seed;
    uint32_t next(uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    }
    const char* pick_text_char() { return TEXT_CHARS[next(std::size(TEXT_CHARS))]; }
};

std::string random_text(RandomSource& random, uint32_t max_length) {
    std::string text;
    for (uint32_t k = random.next(max_length + 1); k > 0; --k) text += random.pick_text_char();
    return text;
}

// Well-formed patterns with nested groups, repeats and alternatives: these
// reach the orders of trial that random token strings seldom build.
std::string random_regex(RandomSource& random, int depth);

std::string random_atom(RandomSource& random, int depth) {
    switch (random.next(depth > 0 ? 6 : 4)) {
        case 0:
            return ".";
        case 1: {
            std::string members = random.next(3) == 0 ? "^" : "";
            for (uint32_t k = 1 + random.next(2); k > 0; --k) members += random.pick_text_char();
            return "[" + members + "]";
        }
        case 2:
        case 3:
            return random.pick_text_char();
        default:
            return "(" + random_regex(random, depth - 1) + ")";
    }
}

std::string random_regex(RandomSource& random, int depth) {
    static const char* const REPEATS[] = {"", "", "*", "+", "?"};
    std::string regex;
    for (uint32_t k = 1 + random.next(3); k > 0; --k)
        regex += random_atom(random, depth) + REPEATS[random.next(std::size(REPEATS))];
    if (random.next(4) == 0) regex += "|" + random_regex(random, depth - 1);
    if (random.next(8) == 0) regex += "$";
    return regex;
}

TEST(MatchPattern, AgreesWithRecursiveMatcherOnLongerRandomCases) {
    RandomSource random{12345};
    for (int round = 0; round < 4000; ++round) {
        std::string pattern = random.next(2) ? "" : "^";
        for (uint32_t k = 4 + random.next(6); k > 0; --k)
            pattern += PATTERN_TOKENS[random.next(std::size(PATTERN_TOKENS))];
        std::vector<uint16_t> words = compile_words(pattern);
        for (int t = 0; t < 20; ++t) {
            expect_agreement(pattern, words, random_text(random, 7));
            if (HasFatalFailure()) return;
        }
    }
}

TEST(MatchPattern, AgreesWithRecursiveMatcherOnNestedConstructs) {
    RandomSource random{777};
    for (int round = 0; round < 4000; ++round) {
        std::string pattern = random_regex(random, 2);
        std::vector<uint16_t> words = compile_words(pattern);
        for (int t = 0; t < 25; ++t) {
            expect_agreement(pattern, words, random_text(random, 6));
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace

namespace {

// --- The header recognisers against the engine ---

void expect_recognizers_exact(const std::string& line) {
    for (int p = 0; p < 5; ++p) {
        const bool engine = match_pattern(nullptr, line.c_str(), HEADER_PATTERNS[p]) == 1;
        ASSERT_EQ(line_matches(line.c_str(), *HEADER_RECOGNIZERS[p]), engine)
            << "pattern " << p << " line '" << printable(line) << "'";
    }
}

// What header lines are made of and what looks like it: double-byte
// characters whose second byte is "\", "|" or "[", the F0 pairs whose units
// are "#" and "0", a half-width kana, and a lone lead byte and the F0 1F pair,
// which end the text.
const char* const HEADER_SYMBOLS[] = {
    "0",        "1",        "5",        "9",        "/",    ":",        "(",        ")",
    "[",        "]",        "#",        " ",        "-",    "A",        "Z",        "M",
    "E",        "S",        "a",        "\r",       "\n",   "\xB1",     "\x83\x5C", "\x83\x7C",
    "\x83\x5B", "\x81\x9A", "\xF0\xA1", "\xF0\xAE", "\x81", "\xF0\x1F",
};

// Pieces of headers a mutation puts in: a second date or count, a title.
const char* const HEADER_FRAGMENTS[] = {
    "MES(", " 96/05/", " 12/", "/12", "(12)", ")  ", "   ", "00123", PCVAN_TITLE, "\x83\x5C/",
};

const std::string REAL_HEADER_LINES[] = {
    "#1234/1250 TITLE\r\n",
    "00123/00120 ABC01234 TITLE\r\n",
    PCVAN_TITLE " (ABC01234)  96/05/12  21:34 (12)\r\n",
    "( 3)   96/05/12 21:34 x\r\n",
    "- ABCDEF MES( 3) ROOM NAME 96/05/20\r\n",
};

TEST(HeaderRecognizers, AgreeWithTheEngineOnEveryShortText) {
    for (unsigned first = 0; first < 256; ++first) {
        for (unsigned second = 0; second < 256; ++second) {
            expect_recognizers_exact(
                std::string{static_cast<char>(first), static_cast<char>(second)});
            if (HasFatalFailure()) return;
        }
    }
    std::vector<std::string> texts;
    all_strings(HEADER_SYMBOLS, std::size(HEADER_SYMBOLS), 3, &texts);
    for (const std::string& text : texts) {
        expect_recognizers_exact(text);
        if (HasFatalFailure()) return;
    }
}

// Every header line with each byte and each pair of bytes replaced by
// symbols, a symbol put in before each byte, and each of its prefixes.
TEST(HeaderRecognizers, AgreeWithTheEngineOnEveryEditOfHeaderLines) {
    for (const std::string& line : REAL_HEADER_LINES) {
        for (size_t at = 0; at <= line.size(); ++at) {
            expect_recognizers_exact(line.substr(0, at));
            for (const char* symbol : HEADER_SYMBOLS) {
                expect_recognizers_exact(line.substr(0, at) + symbol + line.substr(at));
                if (at == line.size()) continue;
                expect_recognizers_exact(line.substr(0, at) + symbol + line.substr(at + 1));
                if (at + 1 == line.size()) continue;
                for (const char* second : HEADER_SYMBOLS)
                    expect_recognizers_exact(line.substr(0, at) + symbol + second +
                                             line.substr(at + 2));
                if (HasFatalFailure()) return;
            }
        }
    }
}

// Header lines after a few random edits: symbols and fragments put in or
// over bytes, bytes cut out, a piece of another header line spliced in.
std::string mutate_header_line(RandomSource& random, std::string line) {
    for (uint32_t edits = 1 + random.next(4); edits > 0; --edits) {
        const size_t at = random.next(static_cast<uint32_t>(line.size() + 1));
        const std::string piece = random.next(3) == 0
                                      ? HEADER_FRAGMENTS[random.next(std::size(HEADER_FRAGMENTS))]
                                      : HEADER_SYMBOLS[random.next(std::size(HEADER_SYMBOLS))];
        const size_t cut = std::min<size_t>(random.next(4), line.size() - at);
        switch (random.next(4)) {
            case 0:
                line.insert(at, piece);
                break;
            case 1:
                line.replace(at, cut, piece);
                break;
            case 2:
                line.erase(at, cut);
                break;
            default: {
                const std::string& other = REAL_HEADER_LINES[random.next(5)];
                const size_t from = random.next(static_cast<uint32_t>(other.size()));
                line.insert(at, other.substr(from, random.next(12)));
                break;
            }
        }
    }
    return line;
}

TEST(HeaderRecognizers, AgreeWithTheEngineOnRandomHeaderLikeLines) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr int LINES = 200000;
#else
    constexpr int LINES = 2000000;
#endif
    RandomSource random{1996};
    for (int n = 0; n < LINES; ++n) {
        expect_recognizers_exact(mutate_header_line(random, REAL_HEADER_LINES[random.next(5)]));
        if (HasFatalFailure()) return;
    }
}

}  // namespace
