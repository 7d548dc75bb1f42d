#include "support/sjis_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace {

// A heap copy of exactly length + 1 bytes, so that the sanitizer sees any read
// before the string or past its terminator.
class ExactString {
  public:
    explicit ExactString(const std::string& bytes)
        : size_(bytes.size()), data_(new char[bytes.size() + 1]) {
        std::memcpy(data_.get(), bytes.data(), size_);
        data_[size_] = '\0';
    }
    char* get() { return data_.get(); }
    std::string bytes() const { return std::string(data_.get(), size_); }

  private:
    size_t size_;
    std::unique_ptr<char[]> data_;
};

// Offset of a search result, or -1 for null.
long offset_of(const char* found, const char* base) {
    return found ? found - base : -1;
}

TEST(SjisByteRanges, LeadAndTrailBoundaries) {
    for (int b = 0; b < 256; ++b) {
        const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        const bool trail = (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
        EXPECT_EQ(is_sjis_lead_byte(static_cast<unsigned char>(b)), lead) << b;
        EXPECT_EQ(is_sjis_trail_byte(static_cast<unsigned char>(b)), trail) << b;
    }
}

struct KindCase {
    std::string bytes;
    std::vector<int> kinds;
};

TEST(SjisByteKind, ClassifiesEveryPosition) {
    const KindCase cases[] = {
        {"\x41\x81\x40\x5c\x95\x5c", {0, 1, 2, 0, 1, 2}},
        {"\x41\x81\x0a\x41", {0, 1, 0, 0}},
        {"\x41\x81", {0, 1}},                // lead byte at the end
        {"\x81\x81\x81", {1, 2, 1}},         // a lead-range byte after a lead is a trail
        {"\x81\x7f\x81\x80", {1, 0, 1, 2}},  // 0x7F is no trail; 0x80 is
        {"\x40\x5c\xb1\xfd", {0, 0, 0, 0}},  // trail-range bytes alone are single
        {"\xe0\xfc\xfc\xfd\xfc", {1, 2, 1, 0, 1}},
        {"\x9f\xa0\xdf", {1, 2, 0}},
    };
    for (const auto& c : cases) {
        ExactString s(c.bytes);
        for (size_t i = 0; i < c.kinds.size(); ++i) {
            EXPECT_EQ(sjis_byte_kind(s.get(), static_cast<int>(i)), c.kinds[i])
                << printable(c.bytes) << " at " << i;
        }
        EXPECT_EQ(sjis_byte_kind(s.get(), static_cast<int>(c.bytes.size())), SJIS_BAD_INDEX);
        EXPECT_EQ(sjis_byte_kind(s.get(), -1), SJIS_BAD_INDEX);
    }
    ExactString empty("");
    EXPECT_EQ(sjis_byte_kind(empty.get(), 0), SJIS_BAD_INDEX);
    EXPECT_EQ(sjis_byte_kind(empty.get(), -2147483647 - 1), SJIS_BAD_INDEX);
}

struct SearchCase {
    std::string bytes;
    int ch;
    long first;
    long last;
};

TEST(SjisSearch, FindsOnlySingleByteCharacters) {
    const SearchCase cases[] = {
        {"\x95\x5c\x5c", '\\', 2, 2},
        {"\x95\x5c", '\\', -1, -1},
        {"C:\\\x95\x5c\\zembra.exe", '\\', 2, 5},
        {"log", '.', -1, -1},
        {"a.b.bak", '.', 1, 3},
        {"", '.', -1, -1},
        {"\x83\x61"
         "a",
         'a', 2, 2},                   // the 0x61 after 0x83 is a trail byte
        {"\x81\x0a\x0a", '\n', 1, 2},  // 0x0A after a lead stays single
        {"\x81", 'a', -1, -1},
        {"abc", 0, -1, -1},  // the terminator is never examined
        {"a*b?c", '*', 1, 1},
        {"\xb1\xb1", 0xb1, 0, 1},  // half-width katakana is single-byte
    };
    for (const auto& c : cases) {
        ExactString s(c.bytes);
        EXPECT_EQ(offset_of(sjis_strchr(s.get(), c.ch), s.get()), c.first) << printable(c.bytes);
        EXPECT_EQ(offset_of(sjis_strrchr(s.get(), c.ch), s.get()), c.last) << printable(c.bytes);
    }
}

TEST(SjisSearch, ClassifiesFromTheGivenPointer) {
    // From byte 1 on, the 0x5C that trails 0x95 in the whole string is single.
    ExactString s(
        "\x95\x5c"
        "a");
    EXPECT_EQ(sjis_strchr(s.get(), '\\'), nullptr);
    EXPECT_EQ(sjis_strchr(s.get() + 1, '\\'), s.get() + 1);
    EXPECT_EQ(sjis_strrchr(s.get() + 1, '\\'), s.get() + 1);
}

// The searches as defined: every candidate classified afresh from the start.
long naive_strchr(const char* s, int ch) {
    for (int i = 0; s[i] != '\0'; ++i) {
        if (static_cast<unsigned char>(s[i]) == ch && sjis_byte_kind(s, i) == SJIS_SINGLE) {
            return i;
        }
    }
    return -1;
}

long naive_strrchr(const char* s, int ch) {
    for (int i = static_cast<int>(std::strlen(s)) - 1; i >= 0; --i) {
        if (static_cast<unsigned char>(s[i]) == ch && sjis_byte_kind(s, i) == SJIS_SINGLE) {
            return i;
        }
    }
    return -1;
}

std::string naive_strupr(const std::string& bytes) {
    std::string upper = bytes;
    for (size_t i = 0; i < upper.size(); ++i) {
        if (upper[i] >= 'a' && upper[i] <= 'z' &&
            sjis_byte_kind(bytes.c_str(), static_cast<int>(i)) == SJIS_SINGLE) {
            upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
        }
    }
    return upper;
}

TEST(SjisSearch, OnePassEqualsPerPositionDefinition) {
    // Boundary bytes of every range, delimiters, and a few arbitrary bytes.
    const unsigned char alphabet[] = {0x0a, 0x20, 0x2a, 0x2e, 0x3f, 0x40, 0x41, 0x5c,
                                      0x61, 0x7a, 0x7e, 0x7f, 0x80, 0x81, 0x95, 0x9f,
                                      0xa0, 0xb1, 0xdf, 0xe0, 0xfc, 0xfd, 0xff};
    const int searched[] = {'\\', '.', 'a', '@', '*', '?', '\n', 0x7f};
    std::mt19937 random(12345);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 14, '\0');
        for (auto& b : bytes) {
            b = static_cast<char>(random() % 4 == 0 ? 1 + random() % 255
                                                    : alphabet[random() % sizeof alphabet]);
        }
        ExactString s(bytes);
        for (int ch : searched) {
            ASSERT_EQ(offset_of(sjis_strchr(s.get(), ch), s.get()), naive_strchr(s.get(), ch))
                << printable(bytes) << " ch " << ch;
            ASSERT_EQ(offset_of(sjis_strrchr(s.get(), ch), s.get()), naive_strrchr(s.get(), ch))
                << printable(bytes) << " ch " << ch;
        }
        ASSERT_EQ(sjis_strupr(s.get()), s.get());
        ASSERT_EQ(s.bytes(), naive_strupr(bytes)) << printable(bytes);
    }
}

TEST(SjisStrupr, LeavesDoubleByteCharactersAlone) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x61\x83\x61\x62", "\x41\x83\x61\x42"},
        {"\xb1\x61", "\xb1\x41"},
        {"", ""},
        {"ab\x81", "AB\x81"},  // ends in a lead byte; the terminator stays
        {"zembra.exe 09!", "ZEMBRA.EXE 09!"},
        {"\x81\x0a"
         "a",
         "\x81\x0a"
         "A"},
        {"`{\xe0\x7a", "`{\xe0\x7a"},
    };
    for (const auto& [input, expected] : cases) {
        ExactString s(input);
        EXPECT_EQ(sjis_strupr(s.get()), s.get());
        EXPECT_EQ(s.bytes(), expected) << printable(input);
        EXPECT_EQ(s.get()[input.size()], '\0');
    }
}

// Names whose double-byte characters end in a letter's byte: upper-casing and
// comparing never fold that byte in Shift_JIS, and fold every letter in an
// encoding whose multi-byte characters lie at 0x80 and above.
struct FoldCase {
    std::string a;
    std::string b;
    bool same_sjis;
    bool same_other;
};

TEST(SjisFolding, TrailBytesAreNeverLetters) {
    std::vector<FoldCase> cases = {
        {"log.txt", "LOG.TXT", true, true},
        {"log.txt", "LOG.TXU", false, false},
        {"a@[`{z", "A@[`{Z", true, true},
        {"`{", "@[", false, false},  // the bytes beside the letters are no letters
        {"\xb1"
         "a",
         "\xb1"
         "A",
         true, true},  // a half-width katakana is one byte
        {"\x81\x0a"
         "a",
         "\x81\x0a"
         "A",
         true, true},  // no trail byte after the lead
    };
    for (const unsigned char lead : {0x81, 0x9F, 0xE0, 0xFC}) {
        for (const char letter : {'a', 'z'}) {
            const std::string character = {static_cast<char>(lead), letter};
            const std::string upper = {static_cast<char>(lead), static_cast<char>(letter - 32)};
            cases.push_back({character + ".log", upper + ".LOG", false, true});
            cases.push_back({"x" + character + "x", "X" + character + "X", true, true});
        }
    }
    for (const auto& c : cases) {
        ASSERT_EQ(c.a.size(), c.b.size());
        EXPECT_EQ(same_ignoring_case(c.a.c_str(), c.b.c_str(), c.a.size()), c.same_sjis)
            << printable(c.a);
        EXPECT_EQ(same_ignoring_case(c.a.c_str(), c.b.c_str(), c.a.size(), false), c.same_other)
            << printable(c.a);
        // Upper-casing both gives one name exactly when they compare the same.
        for (const bool sjis : {true, false}) {
            ExactString a(c.a);
            ExactString b(c.b);
            upper_case_name(a.get(), sjis);
            upper_case_name(b.get(), sjis);
            EXPECT_EQ(a.bytes() == b.bytes(), sjis ? c.same_sjis : c.same_other)
                << printable(c.a) << (sjis ? " sjis" : "");
        }
    }
}

TEST(CopyString, CopiesAndMovesOverlappingAreas) {
    char buffer[16] = "abcdef";
    EXPECT_EQ(copy_string(buffer + 2, buffer), buffer + 2);  // forward overlap
    EXPECT_STREQ(buffer, "ababcdef");
    EXPECT_EQ(copy_string(buffer, buffer + 3), buffer);  // backward overlap
    EXPECT_STREQ(buffer, "bcdef");
    char target[8];
    std::memset(target, 'x', sizeof target);
    copy_string(target, "");
    EXPECT_EQ(target[0], '\0');
    EXPECT_EQ(target[1], 'x');  // nothing past the terminator is written
}

}  // namespace
