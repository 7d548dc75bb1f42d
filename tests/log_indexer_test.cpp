#include "logindex/log_indexer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "logindex/forum_banner.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/job_step_test.h"
#include "support/log_texts.h"
#include "support/test_files.h"

namespace {

// "Error! 発言ヘッダが不正です\n"
const std::string HEADER_ERROR =
    "Error! \x94\xad\x8c\xbe\x83\x77\x83\x62\x83\x5f\x82\xaa\x95\x73\x90\xb3\x82\xc5\x82\xb7\n";
// "Error! 複数の会議室ログが含まれているようです\n"
const std::string ROOM_ERROR =
    "Error! \x95\xa1\x90\x94\x82\xcc\x89\xef\x8b\x63\x8e\xba\x83\x8d\x83\x4f\x82\xaa\x8a\xdc"
    "\x82\xdc\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xe6\x82\xa4\x82\xc5\x82\xb7\n";

// A PC-VAN header whose body is counted, 12 lines unless given.
std::string counted_header(int number, const std::string& count = " (12)") {
    return pcvan_header(number, "96/05/12  21:34", count);
}

std::string body_lines(int count) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += "body line " + std::to_string(i) + "\r\n";
    }
    return lines;
}

class IndexerTest : public JobStepTest {
  protected:
    int index_log(const std::string& bytes) {
        write_file(path(), bytes);
        return index_file();
    }
    int index_file() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = index_log_file(path().c_str(), options_, indexed_);
        err_ = testing::internal::GetCapturedStderr();
        out_ = testing::internal::GetCapturedStdout();
        return result;
    }
    std::string path() const { return dir_.file("LOG.TXT"); }

    TempDir dir_;
    std::string out_;
    std::string err_;
};

TEST_F(IndexerTest, PcvanWorkedExampleDiscardsFourteenLinesAndDumps) {
    options_.debug_dump = 1;
    // The 14th line after line 2 quotes a header; it is discarded untested.
    const std::string first = counted_header(1234) + body_lines(13) + "#77/1 quoted\r\n";
    const std::string second = pcvan_header(1250, "96/05/13  08:05");
    ASSERT_EQ(index_log(first + second + body_lines(1)), 2);
    EXPECT_EQ(err_, "");
    EXPECT_EQ(out_,
              "#1234 1996/5/12(8364) 21:34(44096) [12]\n"
              "#1250 1996/5/13(8365) 8:5(16544) [0]\n");
    EXPECT_EQ(indexed_->entries[0].number, 1234);
    EXPECT_EQ(indexed_->entries[0].date_key, 8364u);
    EXPECT_EQ(indexed_->entries[0].time_key, 44096u);
    EXPECT_EQ(indexed_->entries[0].line_count, 12);
    EXPECT_EQ(indexed_->entries[0].offset, 0);
    EXPECT_EQ(indexed_->entries[1].offset, static_cast<int32_t>(first.size()));
}

TEST_F(IndexerTest, NiftyWorkedExample) {
    options_.service = SERVICE_NIFTY;
    options_.debug_dump = 1;
    ASSERT_EQ(index_log("Text before the first header\r\n" + nifty_header(123) + body_lines(2)), 1);
    EXPECT_EQ(out_, "#123 1996/5/12(8364) 21:34(44096) [0]\n");
    EXPECT_EQ(indexed_->entries[0].number, 123);
    EXPECT_EQ(indexed_->entries[0].line_count, 0);
    EXPECT_EQ(indexed_->entries[0].offset, 30);
}

// Lines after line 2 that a count covers: `discarded` lines, of which the
// last quotes a header line 1. Too few discarded, and the quote is taken for
// a header without line 2; too many, and the next real header is lost.
TEST_F(IndexerTest, PcvanLineCountsDiscardTheirLines) {
    struct Case {
        const char* count;
        int line_check;
        int discarded;
        int32_t line_count;
        int result;
    } cases[] = {
        {" (12)", 1, 14, 12, 2},
        {" (0)", 1, 1, 0, 2},
        {" (-3)", 1, 1, -3, 2},  // a negative count discards like 0
        {"", 1, 0, 0, 2},
        {" (12)", 0, 0, 0, 2},
        {"      (2)", 1, 4, 2, 2},
        {" ( 2)", 1, 4, 2, 2},
        // Wraps to a huge count: everything to the end of the file goes.
        {" (99999999999)", 1, 0, 1215752191, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("count \"") + c.count + "\" line_check " +
                     std::to_string(c.line_check));
        options_.line_check = c.line_check;
        std::string first = counted_header(1, c.count);
        if (c.discarded > 0) {
            first += body_lines(c.discarded - 1) + "#77/1 quoted\r\n";
        }
        ASSERT_EQ(index_log(first + pcvan_header(2) + "closing\r\n"), c.result) << err_;
        EXPECT_EQ(indexed_->entries[0].line_count, c.line_count);
        if (c.result == 2) {
            EXPECT_EQ(indexed_->entries[1].offset, static_cast<int32_t>(first.size()));
        }
    }
}

TEST_F(IndexerTest, HeaderErrors) {
    struct Case {
        int service;
        std::string log;
    } cases[] = {
        {SERVICE_PCVAN, counted_header(1) + body_lines(14) + "#2/1 last line\r\n"},
        {SERVICE_PCVAN, "#2/1 header\r\nnot a line 2\r\n"},
        {SERVICE_PCVAN, "#2/1 header\r\n" PCVAN_TITLE " (ABC01234) 96/05/12  21:34\r\n"},
        {SERVICE_NIFTY, "00002/00001 ABC01234 TITLE\r\n"},
        // A quoted header inside a NIFTY SERVE body fails the whole log.
        {SERVICE_NIFTY, nifty_header(1) + "00002/00001 ABC01234 quoted\r\n> text\r\n"},
        {SERVICE_NIFTY, "00002/00001 ABC01234 TITLE\r\n(3)   96/05/12 21:34\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.log));
        options_.service = c.service;
        EXPECT_EQ(index_log(c.log), -1);
        EXPECT_EQ(err_, HEADER_ERROR);
    }
}

TEST_F(IndexerTest, NoHeaderGivesZeroSilently) {
    EXPECT_EQ(index_log("just text\r\n#not a header\r\n"), 0);
    EXPECT_EQ(err_, "");
    EXPECT_EQ(index_log(""), 0);
    EXPECT_EQ(err_, "");
}

TEST_F(IndexerTest, NiftyRoomCheck) {
    options_.service = SERVICE_NIFTY;
    struct Case {
        std::vector<const char*> rooms;
        int result;
    } cases[] = {
        {{" 3", " 3", "03"}, 3}, {{" 3", "12"}, -1},       {{" 3", " 0"}, -1},
        {{" 0", " 3", " 3"}, 3}, {{" 0", " 0"}, 2},        {{" 0", " 3", " 0"}, -1},
        {{"00", "12", "12"}, 3}, {{" 0", "12", " 3"}, -1},
    };
    for (const Case& c : cases) {
        std::string log;
        for (size_t i = 0; i < c.rooms.size(); ++i) {
            log +=
                nifty_header(static_cast<int>(i + 1), "96/05/12 21:34", c.rooms[i]) + body_lines(1);
        }
        SCOPED_TRACE(printable(log));
        EXPECT_EQ(index_log(log), c.result);
        EXPECT_EQ(err_, c.result < 0 ? ROOM_ERROR : "");
    }
}

TEST_F(IndexerTest, NiftyBannersAreTrackedNotIndexed) {
    options_.service = SERVICE_NIFTY;
    const std::string log = "- ABCDEF MES( 3) ROOM NAME 96/05/12\r\n" + nifty_header(1) +
                            "- ABCDEF MES( 3) ROOM NAME 96/05/20\r\n" + nifty_header(2) +
                            "body\r\n";
    indexed_->banner.key = 99999;  // left from an earlier log
    ASSERT_EQ(index_log(log), 2);
    EXPECT_EQ(indexed_->banner.key, 8372u);
    EXPECT_EQ(std::string(indexed_->banner.line, indexed_->banner.length),
              "- ABCDEF MES( 3) ROOM NAME 96/05/20\r\n");
    EXPECT_EQ(indexed_->entries[1].offset, static_cast<int32_t>(log.find("00002/")));
}

std::string many_messages(int count) {
    std::string log;
    for (int i = 1; i <= count; ++i) {
        log += pcvan_header(i) + "closing\r\n";
    }
    return log;
}

TEST_F(IndexerTest, TableLimit) {
    EXPECT_EQ(index_log(many_messages(MAX_INDEX_ENTRIES)), MAX_INDEX_ENTRIES);
    EXPECT_EQ(err_, "");
    EXPECT_EQ(indexed_->entries[MAX_INDEX_ENTRIES - 1].number, MAX_INDEX_ENTRIES);

    options_.debug_dump = 1;
    EXPECT_EQ(index_log(many_messages(MAX_INDEX_ENTRIES + 1)), 0);
    EXPECT_EQ(err_, "Out of Range![3001]...");
    // The 3001st header is checked and dumped before the table is found full.
    EXPECT_NE(out_.find("#3001 1996/5/12(8364) 21:34(44096) [0]\n"), std::string::npos);

    EXPECT_EQ(index_log(many_messages(MAX_INDEX_ENTRIES) + "#3001/1 header\r\nbad\r\n"), -1);
    EXPECT_EQ(err_, HEADER_ERROR);
}

TEST_F(IndexerTest, LongLinesArriveInPieces) {
    options_.line_check = 0;
    // The second piece of this line starts like a header line 1.
    const std::string long_line = std::string(8192, 'x') + counted_header(7);
    const std::string long_body = std::string(10000, 'y') + "\r\n";
    const std::string log = counted_header(1) + long_body + long_line + counted_header(8);
    ASSERT_EQ(index_log(log), 3);
    EXPECT_EQ(indexed_->entries[1].number, 7);
    EXPECT_EQ(indexed_->entries[1].offset,
              static_cast<int32_t>(counted_header(1).size() + 10002 + 8192));
    EXPECT_EQ(indexed_->entries[2].offset,
              static_cast<int32_t>(log.size() - counted_header(8).size()));
}

// A short line 2 must read past its end as empty fields, never as bytes an
// earlier, longer line left in the buffer.
TEST_F(IndexerTest, ShortLineTwoReadsMissingColumnsAsZero) {
    const std::string pcvan = pcvan_header(1) + "closing\r\n" + "#2/1 short\r\n" + PCVAN_TITLE +
                              " (A)  96/x\r\n" + pcvan_header(3) + "closing\r\n";
    ASSERT_EQ(index_log(pcvan), 3) << err_;
    EXPECT_EQ(indexed_->entries[1].date_key, 10240u);  // year 00, month 0, day 0
    EXPECT_EQ(indexed_->entries[1].time_key, 0u);
    EXPECT_EQ(indexed_->entries[1].line_count, 0);

    options_.service = SERVICE_NIFTY;
    const std::string nifty = nifty_header(1) + "00002/00001 ABC01234 T\r\n( 3)   96/05/12 2\n";
    ASSERT_EQ(index_log(nifty), 2) << err_;
    EXPECT_EQ(indexed_->entries[1].time_key, 4096u);  // 2:00, no stale minute
}

TEST_F(IndexerTest, NulBytesInsideLines) {
    options_.service = SERVICE_NIFTY;
    const std::string line_with_nul = std::string("abc\0def\r\n", 9);
    const std::string line2_with_nul = std::string("( 3)   96/05/12 21:34 \0 x\r\n", 27);
    const std::string log = line_with_nul + "00009/00001 ABC01234 T\r\n" + line2_with_nul;
    ASSERT_EQ(index_log(log), 1) << err_;
    EXPECT_EQ(indexed_->entries[0].offset, 9);
    EXPECT_EQ(indexed_->entries[0].time_key, 44096u);
}

TEST_F(IndexerTest, OpenErrorNamesThePath) {
    EXPECT_EQ(index_file(), -1);
    EXPECT_EQ(err_, "File Open Error: " + path() + "\n");
}

// Every counted operation of a run fails in turn: each failure is reported
// and gives -1, never a partial index passed off as complete.
TEST_F(IndexerTest, EveryFailedOperationFailsTheRun) {
    const std::string log = "text\r\n" + many_messages(3);
    ASSERT_EQ(index_log(log), 3);
    const ScopedFault counted;
    index_file();
    const long operations = counted.operations();
    ASSERT_GT(operations, 4);
    for (long n = 1; n <= operations; ++n) {
        SCOPED_TRACE("failing operation " + std::to_string(n));
        const ScopedFault fault(OP_ANY, n, EIO);
        EXPECT_EQ(index_file(), -1);
        EXPECT_FALSE(err_.empty());
    }
    {
        const ScopedFault fault(OP_READ, 1, EIO);
        index_file();
        EXPECT_EQ(err_, "Read Error: " + path() + ": " + std::strerror(EIO) + "\n");
    }
    EXPECT_EQ(index_file(), 3);
}

}  // namespace
