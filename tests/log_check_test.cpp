// --check: the verdict per log, the exit status, nothing changed on disk, and
// the verdict against what a real run then does to the same log.
#include "driver/log_check.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "logindex/index_sort.h"
#include "logindex/log_indexer.h"
#include "logindex/run_options.h"
#include "logindex/sorted_log_writer.h"
#include "platform/platform.h"
#include "support/job_step_test.h"
#include "support/log_texts.h"
#include "support/test_files.h"

namespace {

const std::string P1 = pcvan_message("1", "96/05/12", "a");
const std::string P2 = pcvan_message("2", "96/05/13", "b");
const std::string P3 = pcvan_message("3", "96/05/14", "c");
const std::string N1 = nifty_message("00001", "96/05/12", "a");
const std::string N2 = nifty_message("00002", "96/05/13", "b");

struct CheckCase {
    const char* what;
    const char* service;  // "-P" or "-N"
    std::string log;
    std::string out;  // after "LOG.TXT: "; empty for a problem
    int status;
};

TEST(CheckMode, VerdictStatusAndNothingChanged) {
    const CheckCase cases[] = {
        {"in order", "-P", P1 + P2 + P3, "in order", 0},
        {"one message", "-P", P1, "in order", 0},
        {"reversed", "-P", P3 + P2 + P1, "would change: 2 moved, 0 repeats dropped", 3},
        {"a repeat", "-P", P1 + P2 + P2, "would change: 0 moved, 1 repeat dropped", 3},
        {"an earlier copy later", "-P", P1 + P2 + P1,
         // the sort happens to keep the later copy: it moves to the front
         "would change: 2 moved, 1 repeat dropped", 3},
        {"modem text first", "-P", "ATDT\r\nCONNECT\r\n" + P1 + P2,
         "would change: 0 moved, 0 repeats dropped, text before the first message dropped", 3},
        {"nifty in order", "-N", N1 + N2, "in order", 0},
        {"nifty banner at the head", "-N", banner("96/05/20") + N1 + N2, "in order", 0},
        {"nifty two banners", "-N", banner("96/05/20") + banner("96/05/21") + N1 + N2,
         "would change: 0 moved, 0 repeats dropped, 1 banner line dropped", 3},
        {"nifty text, then the banner", "-N", "ATZ\r\n" + banner("96/05/20") + N1,
         "would change: 0 moved, 0 repeats dropped, 0 banner lines dropped, banner line moved to "
         "the head, text before the first message dropped",
         3},
        {"nifty banner inside", "-N", N1 + banner("96/05/20") + N2,
         "would change: 0 moved, 0 repeats dropped, 0 banner lines dropped, banner line moved to "
         "the head",
         3},
        {"nifty end-of-file mark", "-N", N1 + N2 + "\x1a",
         "would change: 0 moved, 0 repeats dropped, 0 banner lines dropped, lines outside the "
         "messages dropped or ended",
         3},
        // The banner rule ignores these dates: the run drops the line.
        {"nifty undated banner at the head", "-N", banner("96/00/20") + N1 + N2,
         "would change: 0 moved, 0 repeats dropped, 1 banner line dropped", 3},
        {"nifty banner of room Q/A", "-N", "- ABCDEF MES( 3) Q/A 96/05/20\r\n" + N1,
         "would change: 0 moved, 0 repeats dropped, 1 banner line dropped", 3},
        // Five lines copied without a count would hold the repeat: the copy
        // ends at the next header found, and the repeat goes.
        {"pc-van copy reaches the repeat", "-P",
         pcvan_header(1, "96/05/12  21:34", "") + pcvan_header(1, "96/05/12  21:35", "") +
             "body\r\n",
         "would change: 0 moved, 1 repeat dropped", 3},
        {"nifty read as pc-van", "-P", N1 + N2, "", 2},
        {"empty", "-P", "", "", 2},
        {"header error", "-P", "#1/9 TITLE\r\nno second line\r\n", "", 2},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_file(dir.file("LOG.TXT"), c.log);
        const auto before = snapshot_tree(dir.path());
        RunResult result = run_program(dir.path(), {c.service, "--check", "LOG.TXT"});
        EXPECT_EQ(result.status, c.status) << c.what << ": " << printable(result.err);
        EXPECT_EQ(result.out, c.out.empty() ? "" : "LOG.TXT: " + c.out + "\n") << c.what;
        EXPECT_EQ(snapshot_tree(dir.path()), before) << c.what;
        if (c.status == 2) {
            continue;
        }
        // A run agrees: it leaves exactly the logs found in order as they were.
        result = run_program(dir.path(), {c.service, "-B", "LOG.TXT"});
        EXPECT_EQ(result.status, 0) << c.what;
        EXPECT_EQ(read_file(dir.file("LOG.TXT")) == c.log, c.status == 0) << c.what;
    }
}

// The verdict against the bytes the writer then writes, on random logs:
// in and out of order, with banners whose dates the banner rule ignores and
// PC-VAN copies that already hold the repeat dropped after them.
TEST(CheckMode, VerdictAgreesWithTheWritersComparison) {
    TempDir dir;
    const std::string path = dir.file("LOG.TXT");
    const std::string sorted_path = dir.file("SORTED.TXT");
    std::mt19937 random(2026);
    const IndexedLogPtr owner = make_indexed_log();
    IndexedLog* indexed = owner.get();
    int in_order = 0;
    int compared = 0;
    for (int round = 0; round < 6000; ++round) {
        const int service = round % 2 == 0 ? SERVICE_PCVAN : SERVICE_NIFTY;
        RunOptions options = INITIAL_RUN_OPTIONS;
        options.service = service;
        options.line_check = round % 4 == 2 ? 0 : 1;
        const std::string log = random_log(random, service);
        write_file(path, log);
        PlatformFile* file = platform_open_read(path.c_str());
        ASSERT_NE(file, nullptr);
        testing::internal::CaptureStderr();
        const int count = index_log(file, path.c_str(), options, indexed);
        testing::internal::GetCapturedStderr();
        int verdict = -1;
        if (count > 0) {
            LogChanges changes;
            sort_index(indexed->entries, count);
            verdict = log_would_change(file, path.c_str(), *indexed, options, &changes);
            ASSERT_EQ(
                write_sorted_log_from(file, path.c_str(), sorted_path.c_str(), *indexed, options),
                0);
        }
        platform_close(file);
        if (count <= 0) {
            continue;
        }
        ASSERT_EQ(verdict, read_file(sorted_path) != log ? 1 : 0)
            << "line check " << options.line_check << ": " << printable(log);
        in_order += verdict == 0 ? 1 : 0;
        ++compared;
    }
    EXPECT_GT(in_order, compared / 10);
    EXPECT_GT(compared - in_order, compared / 10);
}

// In process: the run's lock on the log is gone once the check is done.
TEST(CheckMode, HoldsNoLockAfterwards) {
    TempDir dir;
    write_file(dir.file("LOG.TXT"), P2 + P1);
    InDirectory inside(dir.path());
    std::string args[] = {"zembra", "-P", "--check", "LOG.TXT"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    RunOptions settings;
    EXPECT_EQ(run_zembra(4, argv, &settings), 3);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout().substr(0, 22), "LOG.TXT: would change:");
    PlatformFile* log = nullptr;
    EXPECT_EQ(platform_open_log("LOG.TXT", &log), 0);
    if (log != nullptr) {
        platform_close(log);
    }
}

}  // namespace
