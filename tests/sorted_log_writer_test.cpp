#include "logindex/sorted_log_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "logindex/forum_banner.h"
#include "logindex/index_sort.h"
#include "logindex/log_indexer.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/job_step_test.h"
#include "support/log_texts.h"
#include "support/test_files.h"

namespace {

std::string numbered_lines(const std::string& tag, int count) {
    std::string lines;
    for (int i = 1; i <= count; ++i) {
        lines += tag + " line " + std::to_string(i) + "\r\n";
    }
    return lines;
}

// The entries of a sorted index that a run writes: repeats are passed over.
int kept_messages(const std::vector<MessageIndexEntry>& index) {
    int kept = 0;
    for (size_t i = 0; i < index.size(); ++i) {
        kept += i > 0 && index[i].number == index[i - 1].number ? 0 : 1;
    }
    return kept;
}

MessageIndexEntry entry_at(int32_t number, int32_t offset, int32_t line_count = 0) {
    return MessageIndexEntry{number, 0, 0, line_count, offset};
}

class WriterTest : public JobStepTest {
  protected:
    // Writes the new log beside `old_log`, in the order of the given index.
    std::string rewrite(const std::string& old_log, std::vector<MessageIndexEntry> index) {
        write_file(old_log_path(), old_log);
        set_entries(indexed_, index);
        result_ = write_quietly();
        return read_file(new_log_path());
    }
    int write_quietly() {
        testing::internal::CaptureStderr();
        int result = write_sorted_log_file(old_log_path().c_str(), new_log_path().c_str(),
                                           *indexed_, options_);
        err_ = testing::internal::GetCapturedStderr();
        return result;
    }
    // Indexes and sorts `old_log`; the index's result.
    int index_and_sort(const std::string& old_log, std::vector<MessageIndexEntry>* index) {
        write_file(old_log_path(), old_log);
        testing::internal::CaptureStderr();
        int count = index_log_file(old_log_path().c_str(), options_, indexed_);
        err_ = testing::internal::GetCapturedStderr();
        sort_index(indexed_->entries, count);
        index->assign(indexed_->entries, indexed_->entries + std::max(count, 0));
        return count;
    }
    // The whole job on `old_log`: index, sort and write.
    std::string sort_log(const std::string& old_log) {
        std::vector<MessageIndexEntry> index;
        EXPECT_GE(index_and_sort(old_log, &index), 0) << err_;
        result_ = write_quietly();
        return read_file(new_log_path());
    }
    // The indexed log written and compared, from the log read or held as a
    // run holds it (mapped where the lease is granted and `window_size` is
    // not 0).
    void write_and_compare(const IndexedLog& indexed, bool held, size_t window_size,
                           std::string* written, int* differs,
                           ReadAheadRoom room = ReadAheadRoom{nullptr, 0}) {
        PlatformFile* source = nullptr;
        if (held) {
            ASSERT_EQ(platform_open_log(old_log_path().c_str(), &source), 0);
        } else {
            source = platform_open_read(old_log_path().c_str());
        }
        ASSERT_NE(source, nullptr);
        ASSERT_EQ(write_sorted_log_from(source, "LOG.TXT", new_log_path().c_str(), indexed,
                                        options_, window_size, &room),
                  0);
        *differs = compare_sorted_log(source, "LOG.TXT", indexed, options_, window_size);
        platform_close(source);
        *written = read_file(new_log_path());
    }
    // Without the indexer's spans, with them, from the held log, and read
    // ahead in a room of a few messages (longer ones are read alone).
    static constexpr int WAYS = 4;
    void write_every_way(std::string written[WAYS], int differs[WAYS]) {
        IndexedLog without_spans = *indexed_;
        without_spans.spans.count = 0;
        write_and_compare(without_spans, false, 0, &written[0], &differs[0]);
        write_and_compare(*indexed_, false, 0, &written[1], &differs[1]);
        write_and_compare(*indexed_, true, LOG_WINDOW_SIZE, &written[2], &differs[2]);
        write_and_compare(*indexed_, false, 0, &written[3], &differs[3],
                          ReadAheadRoom{room_.data(), SMALL_ROOM});
    }
    static constexpr size_t SMALL_ROOM = 6 * 1024;
    std::vector<char> room_ = std::vector<char>(READ_AHEAD_SIZE);
    std::string old_log_path() const { return dir_.file("LOG.TXT"); }
    std::string new_log_path() const { return dir_.file("LOG.$$$"); }

    TempDir dir_;
    int result_ = -1;
    std::string err_;
};

TEST_F(WriterTest, PcvanLineCountsDecideTheCopiedLines) {
    struct Case {
        int32_t line_count;
        int copied;  // lines of the old log, header line 1 included
    } cases[] = {
        {12, 17}, {0, 5}, {-100, 5}, {1, 6}, {INT_MAX, 31},
    };
    // The next header comes early: with a count it is copied all the same.
    const std::string old_log =
        pcvan_header(1) + "body\r\n" + pcvan_header(2) + numbered_lines("x", 26);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line_count);
        size_t end = 0;
        for (int i = 0; i < c.copied; ++i) {
            end = old_log.find('\n', end) + 1;
        }
        EXPECT_EQ(rewrite(old_log, {entry_at(1, 0, c.line_count)}), old_log.substr(0, end));
        EXPECT_EQ(result_, 0);
    }
}

TEST_F(WriterTest, WithoutLineCheckAMessageEndsAtTheNextHeader) {
    options_.line_check = 0;
    const std::string first = pcvan_header(1) + numbered_lines("a", 3);
    const std::string second = pcvan_header(2, "96/05/11  10:00") + numbered_lines("b", 20);
    const std::string preamble = "captured before the first header\r\n";
    EXPECT_EQ(sort_log(preamble + first + second), second + first);
    EXPECT_EQ(result_, 0);
}

TEST_F(WriterTest, InOrderPcvanLogIsRewrittenByteForByte) {
    options_.line_check = 0;
    const std::string log = pcvan_header(1, "96/05/12  21:34", " (3)") + numbered_lines("a", 5) +
                            pcvan_header(2, "96/05/12  21:35") + "\r\n\r\n" +
                            pcvan_header(3, "96/05/13  00:00") + "last\n";
    EXPECT_EQ(sort_log(log), log);
}

TEST_F(WriterTest, RepeatedNumbersAreWrittenOnce) {
    options_.line_check = 0;
    const std::string a = pcvan_header(5) + "first copy\r\n";
    const std::string b = pcvan_header(6, "96/05/12  22:00") + "six\r\n";
    const std::string c = pcvan_header(5) + "second copy\r\n";
    const int32_t b_at = static_cast<int32_t>(a.size());
    const int32_t c_at = static_cast<int32_t>(a.size() + b.size());
    const std::string old_log = a + b + c;
    // Adjacent entries of one number: only the first is written, even under
    // another date; with another message between them both are written.
    EXPECT_EQ(rewrite(old_log, {entry_at(5, 0), entry_at(5, c_at), entry_at(6, b_at)}), a + b);
    EXPECT_EQ(rewrite(old_log, {entry_at(5, c_at), entry_at(6, b_at), entry_at(5, 0)}), c + b + a);
    // A number that reads as -1 is still a message of its own.
    EXPECT_EQ(rewrite(old_log, {entry_at(-1, b_at)}), b);
    // The whole job keeps one copy of message 5: the one the sort puts first.
    EXPECT_EQ(sort_log(old_log), c + b);
}

TEST_F(WriterTest, NiftyBannerAtTheHeadAndNoOther) {
    options_.service = SERVICE_NIFTY;
    const std::string early = "- ABCDEF MES( 3) ROOM NAME 96/05/12\r\n";
    const std::string late = "- ABCDEF MES( 3) ROOM NAME 96/05/20\r\n";
    const std::string m1 = nifty_header(1) + "one\r\n";
    const std::string m2 = nifty_header(2, "96/05/11 09:00") + "two\r\n";
    const std::string old_log = early + m1 + late + m2 + "\x1a";
    EXPECT_EQ(sort_log(old_log), late + m2 + m1);
    EXPECT_EQ(sort_log(m1 + m2), m2 + m1);
    // Another log's banner never leaks into a log without one.
    EXPECT_EQ(indexed_->banner.length, 0u);
    // The latest banner as the unterminated last line: at the head it is
    // ended like the first header line, and a second run keeps it so.
    const std::string last = late.substr(0, late.size() - 2);
    EXPECT_EQ(printable(sort_log(early + m1 + m2 + last)), printable(late + m2 + m1));
    EXPECT_EQ(printable(sort_log(late + m2 + m1)), printable(late + m2 + m1));
}

TEST_F(WriterTest, NiftyLongBannerIsWrittenWhole) {
    options_.service = SERVICE_NIFTY;
    const std::string banner = "- ABCDEF MES( 3) " + std::string(200, 'N') + " 96/05/20\r\n";
    const std::string m1 = nifty_header(1) + "one\r\n";
    EXPECT_EQ(sort_log(m1 + banner), banner + m1);
}

TEST_F(WriterTest, NiftyLinesWithoutLineFeed) {
    options_.service = SERVICE_NIFTY;
    const std::string header = nifty_header(1);
    const std::string long_line = std::string(10000, 'L') + "\r\n";
    const std::string nul_line("ab\0cd\r\n", 7);
    // A full 8192-byte piece at the end is kept; a shorter end is dropped.
    const std::string full_piece(8192, 'F');
    struct Case {
        std::string body;
        std::string written;
    } cases[] = {
        {long_line + "\x1a", long_line},
        {nul_line + "no line feed", nul_line},
        {"crlf kept\r\n" + full_piece, "crlf kept\r\n" + full_piece},
        {"x\r\n" + full_piece + "rest", "x\r\n" + full_piece},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.body.substr(0, 20)));
        EXPECT_EQ(rewrite(header + c.body, {entry_at(1, 0)}), header + c.written);
        EXPECT_EQ(result_, 0);
    }
}

TEST_F(WriterTest, PcvanCopiesNulBytesAndLongLines) {
    options_.line_check = 0;
    const std::string body = std::string("a\0b\r\n", 5) + std::string(10000, 'L') + "\n" + "end";
    const std::string old_log = pcvan_header(1) + body;
    EXPECT_EQ(rewrite(old_log, {entry_at(1, 0)}), old_log);
}

// A log cut at every byte, in the middle of double-byte characters and line
// ends too, is indexed and written without reading or writing out of bounds.
TEST_F(WriterTest, LogsCutAtEveryByte) {
    const std::string pcvan = "before\r\n" + pcvan_header(2, "96/05/13  01:00", " (1)") +
                              "body\r\n\r\n" + pcvan_header(1) + "\r\nend\r\n";
    const std::string nifty = "- ABCDEF MES( 3) ROOM NAME 96/05/20\r\n" + nifty_header(2) +
                              "b\r\n" + nifty_header(1, "96/05/11 09:00") + "\x81\x9a\r\n";
    for (int service : {SERVICE_PCVAN, SERVICE_NIFTY}) {
        options_.service = service;
        const std::string& log = service == SERVICE_PCVAN ? pcvan : nifty;
        for (size_t length = 0; length <= log.size(); ++length) {
            SCOPED_TRACE(length);
            std::vector<MessageIndexEntry> index;
            if (index_and_sort(log.substr(0, length), &index) < 0) {
                continue;  // a header cut after line 1: the log is skipped
            }
            EXPECT_EQ(write_quietly(), 0) << err_;
            // At most the line end of a header cut after its line 2 is added,
            // and the sorted log passes the next run's header check.
            const std::string sorted = read_file(new_log_path());
            EXPECT_LE(sorted.size(), length + 2);
            EXPECT_GE(index_and_sort(sorted, &index), 0) << printable(sorted);
        }
    }
}

TEST_F(WriterTest, OpenErrors) {
    set_entries(indexed_, {entry_at(1, 0)});
    EXPECT_EQ(write_quietly(), -1);
    EXPECT_EQ(err_, "File Open Error: " + old_log_path() + "\n");
    EXPECT_FALSE(file_exists(new_log_path()));

    write_file(old_log_path(), pcvan_header(1));
    const std::string no_dir = dir_.file("missing/LOG.TXT");
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_sorted_log_file(old_log_path().c_str(), no_dir.c_str(), *indexed_, options_),
              -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "File Open Error: " + no_dir + "\n");
}

TEST_F(WriterTest, BadOffsetIsAReadError) {
    EXPECT_EQ(rewrite(pcvan_header(1), {entry_at(1, -5)}), "");
    EXPECT_EQ(result_, -1);
    EXPECT_EQ(err_.rfind("Read Error: " + old_log_path() + ": ", 0), 0u) << err_;
    // The same from the log held as a run holds it, mapped where it may be.
    PlatformFile* source = nullptr;
    ASSERT_EQ(platform_open_log(old_log_path().c_str(), &source), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_sorted_log_from(source, "LOG.TXT", new_log_path().c_str(), *indexed_, options_),
              -1);
    EXPECT_EQ(compare_sorted_log(source, "LOG.TXT", *indexed_, options_), -1);
    testing::internal::GetCapturedStderr();
    platform_close(source);
}

// Each counted operation of a whole run fails in turn (opens, reads, seeks,
// writes, the flush and the closes): the run must report it and give -1, so
// the caller discards the new file and the log stays as it was. Past the last
// one, the new log is whole.
TEST_F(WriterTest, EveryFailedOperationFailsTheWrite) {
    options_.service = SERVICE_NIFTY;
    const std::string banner = "- ABCDEF MES( 3) ROOM NAME 96/05/20\r\n";
    const std::string m1 = nifty_header(1) + "one\r\n" + std::string(70000, 'L') + "\r\n";
    const std::string m2 = nifty_header(2, "96/05/11 09:00") + "two\r\n";
    const std::string expected = banner + m2 + m1;
    // The indexed log stays for each write below.
    ASSERT_EQ(sort_log(banner + m1 + m2), expected);
    const ScopedFault counted;
    ASSERT_EQ(write_quietly(), 0);
    const long operations = counted.operations();
    // Open, reads (or a view, on Windows, whose runs go out in one gathered
    // write), writes, flush, close.
    ASSERT_GT(operations, 6);
    for (long n = 1; n <= operations + 1; ++n) {
        SCOPED_TRACE("failing operation " + std::to_string(n));
        const ScopedFault fault(OP_ANY, n, ENOSPC);
        const int result = write_quietly();
        if (n <= operations) {
            EXPECT_EQ(result, -1);
            EXPECT_FALSE(err_.empty());
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(err_, "");
            EXPECT_EQ(read_file(new_log_path()), expected);
        }
    }
}

TEST_F(WriterTest, WriteErrorMessageNamesTheLog) {
    write_file(old_log_path(), pcvan_header(1));
    set_entries(indexed_, {entry_at(1, 0)});
    const ScopedFault counted;
    write_quietly();
    const long operations = counted.operations();
    bool saw_write_error = false;
    for (long n = 1; n <= operations; ++n) {
        const ScopedFault fault(OP_ANY, n, ENOSPC);
        write_quietly();
        saw_write_error = saw_write_error || err_ == "Write Error: " + new_log_path() + ": " +
                                                         std::strerror(ENOSPC) + "\n";
    }
    EXPECT_TRUE(saw_write_error);
}

}  // namespace

namespace {

// A DOS end-of-file mark ends the log without a line end. When its message
// sorts before another, the next header must still start a line of its own,
// or the next run would no longer see that message; and no line may become
// a header the next run would refuse.
TEST_F(WriterTest, UnterminatedLastLineNeverJoinsTheNextHeader) {
    struct Case {
        int service;
        int line_check;
        std::string log;
        std::string sorted;
    } cases[] = {
        {SERVICE_PCVAN, 0,
         pcvan_header(2, "96/05/13  10:00") + "two\r\n" + pcvan_header(1) + "one\x1a",
         pcvan_header(1) + "one\x1a\r\n" + pcvan_header(2, "96/05/13  10:00") + "two\r\n"},
        // With line checking the message holds the three lines of a count of 0.
        {SERVICE_PCVAN, 1,
         pcvan_header(2, "96/05/13  10:00") + "two\n\n\n" + pcvan_header(1) + "\r\n\r\n\x1a",
         pcvan_header(1) + "\r\n\r\n\x1a\r\n" + pcvan_header(2, "96/05/13  10:00") + "two\n\n\n"},
        // A full piece is followed by the next piece, which the header
        // starts anyway: nothing is added.
        {SERVICE_PCVAN, 0,
         pcvan_header(2, "96/05/13  10:00") + "two\r\n" + pcvan_header(1) + std::string(8192, 'F'),
         pcvan_header(1) + std::string(8192, 'F') + pcvan_header(2, "96/05/13  10:00") + "two\r\n"},
        // Cut inside a header line 1: ended, the line would read as a
        // header, so it stays the last line, unended.
        {SERVICE_PCVAN, 0,
         pcvan_header(2, "96/05/13  10:00") + "two\r\n" + pcvan_header(1) + "one\r\n#7/1",
         pcvan_header(1) + "one\r\n" + pcvan_header(2, "96/05/13  10:00") + "two\r\n#7/1"},
        // Already in order: the log is rewritten byte for byte.
        {SERVICE_PCVAN, 0,
         pcvan_header(1) + "one\r\n" + pcvan_header(2, "96/05/13  10:00") + "\x1a",
         pcvan_header(1) + "one\r\n" + pcvan_header(2, "96/05/13  10:00") + "\x1a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.log));
        options_.service = c.service;
        options_.line_check = c.line_check;
        EXPECT_EQ(printable(sort_log(c.log)), printable(c.sorted));
        EXPECT_EQ(result_, 0);
        // A second run over the result changes nothing.
        EXPECT_EQ(printable(sort_log(c.sorted)), printable(c.sorted));
    }
}

// Messages the indexer found whole are copied as they lie; on random logs of
// both services the result, and the comparison with the log, must be what
// the line-by-line copy gives, whether the log is read or mapped (held as a
// run holds it). A second run over the result changes nothing: a PC-VAN
// count that runs past a cut-off message onto the next header stops there.
TEST_F(WriterTest, WholeMessagesGiveTheLineByLineBytes) {
    std::mt19937 random(1996);
    int copied_whole = 0;
    int stable = 0;
    for (int round = 0; round < 3000; ++round) {
        options_.service = round % 2 == 0 ? SERVICE_PCVAN : SERVICE_NIFTY;
        options_.line_check = round % 4 == 2 ? 0 : 1;
        const std::string log = random_log(random, options_.service);
        std::vector<MessageIndexEntry> index;
        const int count = index_and_sort(log, &index);
        if (count <= 0) {
            continue;
        }
        std::string written[WAYS];
        int differs[WAYS];
        write_every_way(written, differs);
        for (int way = 1; way < WAYS; ++way) {
            ASSERT_EQ(printable(written[way]), printable(written[0])) << printable(log);
            ASSERT_EQ(differs[way], differs[0]) << printable(log);
        }
        for (int i = 0; i + 1 < indexed_->spans.count; ++i) {
            copied_whole += indexed_->spans.whole[i] ? 1 : 0;
        }
        // A second run accepts the result and changes nothing. (A count cut
        // short by the end of the log that sorts before another message
        // still runs over that message's header in the next run: such a run
        // finds fewer messages, and is left out here.)
        std::vector<MessageIndexEntry> again;
        const int found_again = index_and_sort(written[0], &again);
        ASSERT_GT(found_again, 0) << printable(log) << err_;
        if (found_again == kept_messages(index)) {
            ASSERT_EQ(printable(sort_log(written[0])), printable(written[0])) << printable(log);
            ++stable;
        }
    }
    EXPECT_GT(copied_whole, 1000);
    EXPECT_GT(stable, 2000);
}

// A log of many windows of the smallest size, held as a run holds it (mapped
// where the lease is granted): window ends fall inside messages and lines,
// and windows are let go of and mapped again. The result, and the comparison
// with the log, are what reading the log gives; so for the sorted result.
std::string shuffled_log(std::mt19937& random, int service, int messages, int most_padding = 0) {
    std::vector<int> numbers;
    for (int n = 1; n <= messages; ++n) {
        numbers.push_back(n);
    }
    std::shuffle(numbers.begin(), numbers.end(), random);
    std::string log;
    for (int n : numbers) {
        char date[16];
        std::snprintf(date, sizeof date, "96/%02d/%02d", 1 + n / 200 % 12, 1 + n % 28);
        const int count = static_cast<int>(random() % 4);
        log += service == SERVICE_PCVAN ? pcvan_header(n, date + std::string("  21:34"),
                                                       " (" + std::to_string(count) + ")")
                                        : nifty_header(n, date + std::string(" 21:34"));
        const int lines = count + 3 + (random() % 8 == 0 ? static_cast<int>(random() % 3) - 1 : 0);
        for (int line = 0; line < lines; ++line) {
            log += random() % 50 == 0 ? std::string(LINE_BUFFER_SIZE + 100, 'x') + "\r\n"
                                      : "body " + std::to_string(n) + "\r\n";
        }
        const int padding = most_padding > 0 ? static_cast<int>(random() % most_padding) : 0;
        log += std::string(static_cast<size_t>(padding), 'p') + (padding > 0 ? "\r\n" : "");
        if (service == SERVICE_NIFTY && n % 50 == 0) {
            log += banner(date);
        }
    }
    return log;
}

// Past the index's usual room (--max-messages) a message still ends where
// the next in the file begins: a PC-VAN count that overstates its lines
// stops there, so the result holds each header once and sorts to itself.
TEST_F(WriterTest, PastTheIndexRoomMessagesEndWhereTheNextBegins) {
    std::mt19937 random(90);
    options_.service = SERVICE_PCVAN;
    options_.max_messages = 2 * MAX_INDEX_ENTRIES;
    const int messages = MAX_INDEX_ENTRIES + 700;
    const std::string sorted = sort_log(shuffled_log(random, SERVICE_PCVAN, messages));
    ASSERT_EQ(result_, 0) << err_;
    std::vector<MessageIndexEntry> again;
    ASSERT_EQ(index_and_sort(sorted, &again), messages) << err_;
    EXPECT_TRUE(sort_log(sorted) == sorted);
}

// Past the index's usual room too, messages found whole are copied as they
// lie, and the rest line by line: the same bytes as without the spans.
TEST_F(WriterTest, PastTheIndexRoomWholeMessagesGiveTheLineByLineBytes) {
    std::mt19937 random(3001);
    options_.max_messages = 4 * MAX_INDEX_ENTRIES;
    for (int service : {SERVICE_PCVAN, SERVICE_NIFTY}) {
        options_.service = service;
        std::string log;
        for (int piece = 0; piece < 2000; ++piece) {
            log += random_log(random, service, 10 * piece + 1);
        }
        std::vector<MessageIndexEntry> index;
        ASSERT_GT(index_and_sort(log, &index), MAX_INDEX_ENTRIES) << err_;
        std::string written[WAYS];
        int differs[WAYS];
        write_every_way(written, differs);
        EXPECT_GT(written[0].size(), log.size() / 2);
        for (int way = 1; way < WAYS; ++way) {
            EXPECT_TRUE(written[way] == written[0]) << way;
            EXPECT_EQ(differs[way], differs[0]);
        }
    }
}

TEST_F(WriterTest, SmallWindowsGiveTheReadBytes) {
    std::mt19937 random(25);
    for (int service : {SERVICE_PCVAN, SERVICE_NIFTY}) {
        options_.service = service;
        std::string log = shuffled_log(random, service, MAX_INDEX_ENTRIES);
        ASSERT_GT(log.size(), 6 * PLATFORM_VIEW_ALIGNMENT);
        for (int pass = 0; pass < 2; ++pass) {
            std::vector<MessageIndexEntry> index;
            const int count = index_and_sort(log, &index);
            ASSERT_EQ(count, MAX_INDEX_ENTRIES) << err_;
            std::string written[2];
            int differs[2];
            for (int way = 0; way < 2; ++way) {
                write_and_compare(*indexed_, way == 1, PLATFORM_VIEW_ALIGNMENT, &written[way],
                                  &differs[way]);
            }
            ASSERT_EQ(written[1], written[0]);
            ASSERT_EQ(differs[1], differs[0]);
            EXPECT_EQ(differs[0], pass == 0 ? 1 : 0);
            log = written[0];
        }
    }
}

// Two downloads of the same messages, each shuffled, most messages long
// enough to be written many at once: read ahead in rooms of a few messages
// to all of the run's, the bytes are those read message by message, and
// the run's room takes a fraction of the reads.
TEST_F(WriterTest, ReadAheadGivesTheBytesReadMessageByMessage) {
    std::mt19937 random(1200);
    for (int service : {SERVICE_PCVAN, SERVICE_NIFTY}) {
        options_.service = service;
        const std::string log =
            shuffled_log(random, service, 500, 3000) + shuffled_log(random, service, 500, 3000);
        std::vector<MessageIndexEntry> index;
        ASSERT_EQ(index_and_sort(log, &index), 1000) << err_;
        std::string alone;
        int differs = 0;
        long reads_alone = 0;
        {
            const ScopedFault counted;
            write_and_compare(*indexed_, false, 0, &alone, &differs);
            reads_alone = counted.operations(OP_READ);
        }
        for (size_t size : {SMALL_ROOM, size_t{64 * 1024 + 100}, READ_AHEAD_SIZE}) {
            const ScopedFault counted;
            std::string written;
            write_and_compare(*indexed_, false, 0, &written, &differs,
                              ReadAheadRoom{room_.data(), size});
            ASSERT_TRUE(written == alone) << size;
            if (size == READ_AHEAD_SIZE) {  // neighbours come in one read
                EXPECT_LT(counted.operations(OP_READ) * 4, reads_alone);
            }
        }
        // A read ahead that fails fails the write, reported.
        const ScopedFault fault(OP_READ, 1, EIO);
        const ReadAheadRoom room{room_.data(), READ_AHEAD_SIZE};
        PlatformFile* source = platform_open_read(old_log_path().c_str());
        testing::internal::CaptureStderr();
        EXPECT_EQ(write_sorted_log_from(source, "LOG.TXT", new_log_path().c_str(), *indexed_,
                                        options_, 0, &room),
                  -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Read Error: LOG.TXT: " + std::string(std::strerror(EIO)) + "\n");
        platform_close(source);
    }
}

// Long messages from the held log are gathered up to MOST_GATHERED_BYTES a
// write, the bytes those read message by message.
TEST_F(WriterTest, GatheredWritesStayUnderTheirBound) {
    std::mt19937 random(256);
    options_.service = SERVICE_NIFTY;
    constexpr int MOST_PADDING = 200 * 1000;
    std::vector<MessageIndexEntry> index;
    ASSERT_EQ(index_and_sort(shuffled_log(random, SERVICE_NIFTY, 40, MOST_PADDING), &index), 40);
    std::string alone;
    std::string gathered;
    int differs = 0;
    write_and_compare(*indexed_, false, 0, &alone, &differs);
    const ScopedFault counted;
    write_and_compare(*indexed_, true, LOG_WINDOW_SIZE, &gathered, &differs);
    EXPECT_TRUE(gathered == alone);
    ASSERT_GT(gathered.size(), 3 * MOST_GATHERED_BYTES);
    const auto most_a_write = MOST_GATHERED_BYTES + MOST_PADDING + 1000;
    EXPECT_GE(static_cast<size_t>(counted.operations(OP_WRITE)) * most_a_write, gathered.size());
}

}  // namespace
