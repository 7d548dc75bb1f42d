// The line-feed masks, and the line reader built on them, against plain byte
// scans: random bytes, short and long lines, NULs, and reads that cross the
// reader's buffer.
#include "match/line_feeds.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>

#include "platform/platform.h"
#include "support/test_files.h"

namespace {

uint64_t mask_by_bytes(const char* bytes, size_t length) {
    uint64_t mask = 0;
    for (size_t i = 0; i < length && i < LINE_FEED_SPAN; ++i) {
        mask |= bytes[i] == '\n' ? uint64_t{1} << i : 0;
    }
    return mask;
}

// Bytes that look like log text: mostly printable, line feeds, CR, NUL, and
// bytes one bit away from a line feed.
std::string random_text(std::mt19937* random, size_t length, int feed_one_in) {
    static const char kOthers[] = {'\r', '\0', '\x0b', '\x8a', '\x0e', '\x2a', 'A', '\x82'};
    std::string text(length, ' ');
    for (char& byte : text) {
        const unsigned pick = (*random)();
        byte = pick % feed_one_in == 0 ? '\n'
               : pick % 3 == 0         ? kOthers[pick % 8]
                                       : static_cast<char>(pick >> 8);
    }
    return text;
}

TEST(LineFeeds, MasksAgreeWithAByteScan) {
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        const std::string text = random_text(&random, LINE_FEED_SPAN, 1 + round % 40);
        const size_t length = round % 3 == 0 ? random() % LINE_FEED_SPAN : LINE_FEED_SPAN;
        const uint64_t expected = mask_by_bytes(text.data(), length);
        ASSERT_EQ(line_feed_mask_of(text.data(), length), expected) << round;
        if (length == LINE_FEED_SPAN) {
            ASSERT_EQ(line_feed_mask(text.data()), expected) << round;
            ASSERT_EQ(line_feed_mask_portable(text.data()), expected) << round;
            ASSERT_EQ(line_feed_count(text.data()), std::popcount(expected)) << round;
        }
    }
}

// What the reader must give: fgets with a buffer of limit + 1 bytes.
std::vector<std::string> pieces_of(const std::string& text, size_t limit) {
    std::vector<std::string> pieces;
    for (size_t at = 0; at < text.size();) {
        const size_t feed = text.find('\n', at);
        const size_t end =
            std::min({feed == std::string::npos ? text.size() : feed + 1, at + limit, text.size()});
        pieces.push_back(text.substr(at, end - at));
        at = end;
    }
    return pieces;
}

// The bytes the reader lends from `from`, reading up to `more` past those it
// holds, are the file's; the reader then stands at `from`.
void expect_lent(PlatformFile* file, const std::string& text, int64_t from, size_t more) {
    PlatformLent lent{};
    ASSERT_EQ(platform_lend_bytes(file, from, more, &lent), 0);
    ASSERT_EQ(lent.start, from);
    const size_t at = static_cast<size_t>(from);
    ASSERT_EQ(std::string(lent.bytes, lent.length), text.substr(at, lent.length)) << from;
    EXPECT_TRUE(!lent.at_end || (more > 0 && at + lent.length == text.size())) << from;
    EXPECT_TRUE(more == 0 || lent.at_end || lent.length > 0) << from;
    ASSERT_EQ(platform_tell(file), from);
}

// Lines of every length around the buffer's size and the matcher's 8 KiB
// pieces; every few lines the reader is moved back within what it holds (as
// the writer does) and must find the same lines again, or passes over some,
// or lends its bytes from far ahead and back where it stood (as the writer
// reads).
TEST(LineFeeds, ReaderSplitsAsFgetsWould) {
    std::mt19937 random(11);
    TempDir dir;
    int64_t plain_lines = 0;
    for (int round = 0; round < 24; ++round) {
        const int feed_one_in = round % 4 == 0 ? 20000 : round % 4 == 1 ? 3 : 60;
        const std::string text = random_text(&random, 200000 + random() % 400000, feed_one_in);
        write_file(dir.file("log"), text);
        const int limit = round % 2 == 0 ? 8192 : 1 + static_cast<int>(random() % 300);
        const std::vector<std::string> expected = pieces_of(text, static_cast<size_t>(limit));
        PlatformFile* file = platform_open_read(dir.file("log").c_str());
        ASSERT_NE(file, nullptr);
        int64_t position = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            char* line = nullptr;
            const int length = platform_next_line(file, &line, limit);
            ASSERT_EQ(std::string(line, static_cast<size_t>(length)), expected[i]) << round;
            ASSERT_EQ(line[length], '\0');
            if (i % 7 == 3) {
                ASSERT_EQ(platform_seek(file, position), 0);
                ASSERT_EQ(platform_next_line(file, &line, limit), length);
                ASSERT_EQ(std::string(line, static_cast<size_t>(length)), expected[i]);
            }
            position += length;
            ASSERT_EQ(platform_tell(file), position);
            if (i % 11 == 6) {
                const int64_t ahead = position + static_cast<int64_t>(random() % 300000);
                if (ahead <= static_cast<int64_t>(text.size())) {
                    expect_lent(file, text, ahead, random() % 3 * 70000);
                }
                expect_lent(file, text, position, random() % 2 * (1 + random() % 9000));
            }
            if (i % 5 == 2) {  // pass over some lines, as the indexer does a body
                const size_t wanted = random() % 4 == 0 ? random() % 3000 : random() % 90;
                const size_t left = expected.size() - i - 1;
                int last = -1;
                ASSERT_EQ(platform_skip_lines(file, static_cast<int64_t>(wanted), limit, &last),
                          static_cast<int64_t>(std::min(wanted, left)));
                for (size_t k = 0; k < wanted && i + 1 < expected.size(); ++k) {
                    position += static_cast<int64_t>(expected[++i].size());
                }
                ASSERT_EQ(platform_tell(file), position) << round;
                if (wanted > 0 && left > 0) {
                    ASSERT_EQ(last, static_cast<int>(expected[i].size())) << round;
                }
            } else if (i % 5 == 4) {  // pass over lines no header begins as
                bool may_begin[256] = {};
                may_begin[static_cast<unsigned char>(random())] = true;
                may_begin[static_cast<unsigned char>('A' + random() % 4)] = true;
                int64_t bytes = 0;
                int last = -1;
                const int64_t passed =
                    platform_skip_plain_lines(file, may_begin, limit, &bytes, &last);
                ASSERT_GE(passed, 0);
                const int64_t from = position;
                for (int64_t k = 0; k < passed; ++k) {
                    ASSERT_LT(i + 1, expected.size()) << round;
                    const std::string& piece = expected[++i];
                    ASSERT_FALSE(may_begin[static_cast<unsigned char>(piece[0])]) << round;
                    position += static_cast<int64_t>(piece.size());
                }
                if (passed > 0) {
                    ASSERT_EQ(last, static_cast<int>(expected[i].size())) << round;
                }
                ASSERT_EQ(bytes, position - from) << round;
                ASSERT_EQ(platform_tell(file), position) << round;
                plain_lines += passed;
            }
        }
        char* line = nullptr;
        EXPECT_EQ(platform_next_line(file, &line, limit), 0);
        EXPECT_EQ(platform_close(file), 0);
    }
    EXPECT_GT(plain_lines, 10000);
}

// Plain lines of every length short of the piece limit are passed over in
// bulk, however far into a line its line feed lies: the pass hands out only
// the pieces of lines that reach the limit, and now and then a line that
// runs past the bytes held (once a buffer at most).
TEST(LineFeeds, PlainLinesOfAnyLengthArePassedInBulk) {
    std::mt19937 random(5);
    constexpr int LIMIT = 8191;
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        const size_t length = i % 97 == 0         ? LIMIT + random() % 3000
                              : random() % 4 == 0 ? 64 + random() % 8000
                                                  : random() % 130;
        text += std::string(length, 'x') + "\n";
    }
    const auto header_at = static_cast<int64_t>(text.size());
    text += "#1/1 header\n" + std::string(200, 'y') + "\n";
    TempDir dir;
    write_file(dir.file("log"), text);
    PlatformFile* file = platform_open_read(dir.file("log").c_str());
    ASSERT_NE(file, nullptr);
    bool may_begin[256] = {};
    may_begin[static_cast<unsigned char>('#')] = true;
    int short_lines_handed_out = 0;
    while (platform_tell(file) < header_at) {
        int64_t bytes = 0;
        int last = 0;
        const int64_t passed = platform_skip_plain_lines(file, may_begin, LIMIT, &bytes, &last);
        ASSERT_GE(passed, 0);
        if (passed == 0 && platform_tell(file) < header_at) {
            char* line = nullptr;
            const int length = platform_next_line(file, &line, LIMIT);
            ASSERT_GT(length, 0);
            short_lines_handed_out += length < LIMIT ? 1 : 0;
        }
    }
    EXPECT_EQ(platform_tell(file), header_at);
    // Tail pieces of long lines are short too: one for each of them.
    const int long_lines = 2000 / 97 + 1;
    EXPECT_LE(short_lines_handed_out, long_lines + static_cast<int>(text.size() / 32768) + 2);
    EXPECT_EQ(platform_close(file), 0);
}

}  // namespace
