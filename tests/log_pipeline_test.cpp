// One file argument through the whole job, as a user runs it (the built
// binary). (Failures at every operation: fault_sweep_test.)
#include "driver/log_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/log_texts.h"
#include "support/messages.h"
#include "support/test_files.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform_posix.h"
#endif

namespace {

namespace fs = std::filesystem;

using Names = std::vector<std::string>;

const std::string PCVAN_ONE = pcvan_message("1", "96/05/12", "one");
const std::string PCVAN_TWO = pcvan_message("2", "96/05/13", "two");
const std::string PCVAN_LOG = PCVAN_TWO + PCVAN_ONE;
const std::string PCVAN_SORTED = PCVAN_ONE + PCVAN_TWO;

const std::string NIFTY_ONE = nifty_message("00001", "96/05/12", "one");
const std::string NIFTY_TWO = nifty_message("00002", "96/05/13", "two");
const std::string BANNER_OLD = "- ABCDEF MES( 3) ROOM NAME 96/05/12\r\n";
const std::string BANNER_NEW = "- ABCDEF MES( 3) ROOM NAME 96/05/20\r\n";
// Only the latest banner survives, at the head.
const std::string NIFTY_LOG = BANNER_OLD + NIFTY_TWO + BANNER_NEW + NIFTY_ONE;
const std::string NIFTY_SORTED = BANNER_NEW + NIFTY_ONE + NIFTY_TWO;

const std::string FINISHED = "Sorting[2]\n...Writing\n...Finish\n";

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// --- Through the binary ----------------------------------------------------------------

// Message numbers of a log in the order they stand in it.
std::vector<int> numbers_in(const std::string& log) {
    std::vector<int> numbers;
    for (size_t at = 0; at < log.size(); at = log.find('\n', at) + 1) {
        if (log[at] == '#') {
            numbers.push_back(std::atoi(log.c_str() + at + 1));
        }
    }
    return numbers;
}

// Captures joined into one file (cat *.LOG > ROOM.LOG): 30,000 messages, half
// of them twice, are sorted with --max-messages, each number once in key order.
TEST(PipelineLargeLogs, JoinedCapturesSortPastThe3000Limit) {
    std::vector<int> numbers;
    for (int n = 30000; n >= 1; n -= 2) {
        numbers.push_back(n);
    }
    std::vector<int> all(30000);
    for (int n = 1; n <= 30000; ++n) {
        all[static_cast<size_t>(n - 1)] = n;
    }
    std::mt19937 random(42);
    std::shuffle(all.begin(), all.end(), random);
    numbers.insert(numbers.end(), all.begin(), all.end());
    const std::string joined = make_numbered_pcvan_log(numbers);
    TempDir dir;
    write_file(dir.file("ROOM.LOG"), joined);

    RunResult result = run_program(dir.path(), {"-P", "ROOM.LOG"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "Reading: ROOM.LOG\nOut of Range![3001]...Skip!\n");
    EXPECT_EQ(read_file(dir.file("ROOM.LOG")), joined);

    result = run_program(dir.path(), {"-P", "--max-messages=45000", "ROOM.LOG"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "Reading: ROOM.LOG\nSorting[45000]\n...Writing\n...Finish\n");
    std::sort(all.begin(), all.end());
    EXPECT_EQ(numbers_in(read_file(dir.file("ROOM.LOG"))), all);
    EXPECT_EQ(read_file(dir.file("ROOM.BAK")), joined);
}

// Up to 3000 messages the option changes nothing: the same bytes come out.
TEST(PipelineLargeLogs, OptionLeavesSmallLogsAsTheyWere) {
    std::vector<int> numbers;
    for (int n = 1500; n >= 1; --n) {
        numbers.push_back(n);
        numbers.push_back(n % 7 == 0 ? n : (n * 31) % 1500 + 1);
    }
    const std::string log = make_numbered_pcvan_log(numbers);
    std::string sorted[2];
    const std::vector<std::string> runs[2] = {{"-P", "LOG.TXT"},
                                              {"-P", "--max-messages=30000", "LOG.TXT"}};
    for (int i = 0; i < 2; ++i) {
        TempDir dir;
        write_file(dir.file("LOG.TXT"), log);
        EXPECT_EQ(run_program(dir.path(), runs[i]).status, 0);
        sorted[i] = read_file(dir.file("LOG.TXT"));
    }
    EXPECT_NE(sorted[0], log);
    EXPECT_EQ(sorted[0], sorted[1]);
}

struct RunCase {
    const char* label;
    const char* switches;
    const char* argument;
    const std::string* log;
    const std::string* sorted;
    const char* stem;  // of the upper-cased names shown and of the backup
    bool backup;
};

const RunCase RUN_CASES[] = {
    {"pcvan_backup", "-P", "PCVAN.LOG", &PCVAN_LOG, &PCVAN_SORTED, "PCVAN", true},
    {"pcvan_no_backup", "-PB", "PCVAN.LOG", &PCVAN_LOG, &PCVAN_SORTED, "PCVAN", false},
    {"pcvan_no_line_check", "-P!", "pcvan.log", &PCVAN_LOG, &PCVAN_SORTED, "PCVAN", true},
    {"nifty_backup", "-N", "NIFTY.LOG", &NIFTY_LOG, &NIFTY_SORTED, "NIFTY", true},
    {"nifty_no_backup", "-NB", "NIFTY.LOG", &NIFTY_LOG, &NIFTY_SORTED, "NIFTY", false},
    {"nifty_lower_case", "-n", "nifty.log", &NIFTY_LOG, &NIFTY_SORTED, "NIFTY", true},
    {"nifty_mixed_case_no_backup", "-nB", "Nifty.Log", &NIFTY_LOG, &NIFTY_SORTED, "NIFTY", false},
};

class PipelineRun : public testing::TestWithParam<RunCase> {};

TEST_P(PipelineRun, SortsUnderItsOwnName) {
    const RunCase& c = GetParam();
    TempDir dir;
    write_file(dir.file(c.argument), *c.log);
    RunResult run = run_program(dir.path(), {c.switches, c.argument});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    // The sorted log keeps the name it has on disk, letter case and all, on
    // every system: only messages show the upper-cased working name.
    std::string log = c.argument;
    std::string backup = std::string(c.stem) + ".BAK";
    EXPECT_EQ(run.err, "Reading: " + std::string(c.stem) + ".LOG\n" + FINISHED)
        << printable(run.err);
    Names expected = c.backup ? Names{backup, log} : Names{log};
    EXPECT_EQ(list_directory(dir.path()), expected);
    EXPECT_EQ(read_file(dir.file(log)), *c.sorted) << printable(read_file(dir.file(log)));
    if (c.backup) {
        EXPECT_EQ(read_file(dir.file(backup)), *c.log);
    }
}

INSTANTIATE_TEST_SUITE_P(BothDialects, PipelineRun, testing::ValuesIn(RUN_CASES),
                         [](const auto& info) { return std::string(info.param.label); });

// The second run finds the log in order and keeps the original backup.
TEST(PipelineRunAgain, SecondRunKeepsTheOriginalBackup) {
    TempDir dir;
    write_file(dir.file("pcvan.log"), PCVAN_LOG);
    ASSERT_EQ(run_program(dir.path(), {"-P", "pcvan.log"}).status, 0);
    RunResult run = run_program(dir.path(), {"-P", "pcvan.log"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Reading: PCVAN.LOG\n" + FINISHED);
    const std::string log = "pcvan.log";
    EXPECT_EQ(list_directory(dir.path()), (Names{"PCVAN.BAK", log}));
    EXPECT_EQ(read_file(dir.file("PCVAN.BAK")), PCVAN_LOG);
    EXPECT_EQ(read_file(dir.file(log)), PCVAN_SORTED);
}

// Refused arguments are left alone and the run goes on with the next one.
TEST(PipelineRefusals, EachArgumentOnItsOwn) {
    TempDir dir;
    write_file(dir.file("old.bak"), PCVAN_LOG);
    write_file(dir.file("plain.txt"), "no header here\r\n");
    fs::create_directory(dir.file("somedir"));
    write_file(dir.file("pcvan.log"), PCVAN_LOG);
    RunResult run = run_program(
        dir.path(), {"-P", "missing.log", "old.bak", "plain.txt", "somedir", "pcvan.log"});
    EXPECT_EQ(run.status, 2);  // after the last one was sorted
    EXPECT_EQ(run.err,
              "missing.log: No such file or directory\n"
              "Skip!: old.bak\n"
              "Reading: PLAIN.TXT\nSkip!\n"
              "somedir: Is a directory\n"
              "Reading: PCVAN.LOG\n" +
                  FINISHED)
        << printable(run.err);
    Names expected = {"PCVAN.BAK", "pcvan.log", "old.bak", "plain.txt", "somedir"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_directory(dir.path()), expected);
    EXPECT_EQ(read_file(dir.file("old.bak")), PCVAN_LOG);
    EXPECT_EQ(read_file(dir.file("plain.txt")), "no header here\r\n");
}

// A volume with 1000 bytes free: a larger log has no room for its sorted copy.
int thousand_bytes_free(const char*, const char*, uint64_t* free_bytes) {
    *free_bytes = 1000;
    return 1;
}

// Runs a whole command line in this process, standard error captured.
RunResult run_in_process(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    RunResult result;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    RunOptions settings;
    result.status = run_zembra(static_cast<int>(args.size()), argv.data(), &settings);
    result.err = testing::internal::GetCapturedStderr();
    result.out = testing::internal::GetCapturedStdout();
    set_hints_wanted(false);
    return result;
}

// A batch of one file of each kind: every file argument that is neither
// sorted nor in order gets a line that names it (as typed, or upper-cased in
// "Reading:"), and the summary counts each kind. --verbose gives the
// summary and the reasons with standard error in a file.
TEST(PipelineRefusals, EveryRefusalNamesItsFileAndTheSummaryCountsThem) {
    TempDir dir;
    write_file(dir.file("sorted.log"), PCVAN_LOG);
    write_file(dir.file("inorder.log"), PCVAN_SORTED);
    write_file(dir.file("big.log"), make_large_pcvan_log(20, 5));
    write_file(dir.file("broken.log"), PCVAN_ONE + "#3/9 TITLE\r\nno second line\r\n");
    write_file(dir.file("plain.txt"), "no header here\r\n");
    write_file(dir.file("old.bak"), PCVAN_LOG);
    std::vector<std::string> args = {"zembra",      "-P",         "sorted.log", "inorder.log",
                                     "big.log",     "broken.log", "plain.txt",  "old.bak",
                                     "missing.log", "x*.log",     "--verbose"};
    std::string summary =
        "8 logs: 1 sorted, 1 already in order, 1 .BAK skipped, 5 left unsorted "
        "(1 missing, 1 not enough free space, 1 not a log, 1 header error, "
        "1 no match)\n";
#ifndef _WIN32
    // A program still writing to a log.
    write_file(dir.file("busy.log"), PCVAN_LOG);
    const int writer = open(dir.file("busy.log").c_str(), O_WRONLY | O_APPEND);
    args.push_back("busy.log");
    summary =
        "9 logs: 1 sorted, 1 already in order, 1 .BAK skipped, 6 left unsorted "
        "(1 missing, 1 not enough free space, 1 Busy!, 1 not a log, 1 header error, "
        "1 no match)\n";
#endif
    const auto before = snapshot_tree(dir.path());
    RunResult run;
    {
        InDirectory inside(dir.path());
        const ScopedFault volume(thousand_bytes_free);
        run = run_in_process(args);
    }
#ifndef _WIN32
    close(writer);
#endif
    EXPECT_EQ(run.status, 2);
    ASSERT_GE(run.err.size(), summary.size());
    EXPECT_EQ(run.err.substr(run.err.size() - summary.size()), summary) << run.err;
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "inorder.log" || args[i].starts_with("--")) {
            continue;
        }
        const bool named = run.err.find(args[i]) != std::string::npos ||
                           run.err.find("Reading: " + upper(args[i])) != std::string::npos;
        EXPECT_TRUE(named) << args[i] << ": " << run.err;
    }
    EXPECT_NE(run.err.find("big.log: not enough free space: "), std::string::npos) << run.err;
    // Only the log that was out of order changed; the rest are as they were.
    auto after = snapshot_tree(dir.path());
    EXPECT_EQ(after["sorted.log"], PCVAN_SORTED);
    EXPECT_EQ(after["SORTED.BAK"], PCVAN_LOG);
    after["sorted.log"] = PCVAN_LOG;
    after.erase("SORTED.BAK");
    EXPECT_EQ(after, before);
}

// Logs converted from Shift_JIS: a PC-VAN log in UTF-8 or EUC-JP fails the
// header check, and the reason says which encoding it reads as and how to
// convert it. A NIFTY SERVE log, whose headers are ASCII, is sorted as bytes
// in any encoding: the result is the Shift_JIS run's, re-encoded.
struct EncodingCase {
    const char* label;
    std::string title;  // "★タイトル" in the encoding
    std::string body;   // "会議室" in the encoding
    const char* reason;
};

TEST(PipelineEncodings, ReasonForPcvanSortedNifty) {
    const EncodingCase cases[] = {
        {"utf8", "\xe2\x98\x85\xe3\x82\xbf\xe3\x82\xa4\xe3\x83\x88\xe3\x83\xab",
         "\xe4\xbc\x9a\xe8\xad\xb0\xe5\xae\xa4",
         "  hint: the log reads as UTF-8, not Shift_JIS: convert it (iconv -f UTF-8 -t CP932 "
         "LOG >LOG.SJIS) and sort the copy\n"},
        {"euc", "\xa1\xfa\xa5\xbf\xa5\xa4\xa5\xc8\xa5\xeb", "\xb2\xf1\xb5\xc4\xbc\xbc",
         "  hint: the log reads as EUC-JP, not Shift_JIS: convert it (iconv -f EUC-JP -t CP932 "
         "LOG >LOG.SJIS) and sort the copy\n"},
        {"sjis", PCVAN_TITLE, "\x89\xef\x8b\x63\x8e\xba", nullptr},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto pcvan = [&](const std::string& n, const std::string& date) {
            return "#" + n + "/9 TITLE\r\n" + c.title + " (ABC01234)  " + date +
                   "  21:34 (1)\r\n--\r\n" + c.body + "\r\n--\r\n\r\n";
        };
        const std::string log = pcvan("2", "96/05/13") + pcvan("1", "96/05/12");
        write_file(dir.file("LOG.TXT"), log);
        RunResult run = run_program(dir.path(), {"--verbose", "-P", "LOG.TXT"});
        const bool converted = c.reason != nullptr;
        EXPECT_EQ(run.status, converted ? 2 : 0) << c.label;
        EXPECT_EQ(run.err.find(converted ? c.reason : "reads as"),
                  converted ? run.err.find("Skip!\n") + 6 : std::string::npos)
            << c.label << ": " << printable(run.err);
        EXPECT_EQ(read_file(dir.file("LOG.TXT")) == log, converted) << c.label;

        const std::string one = nifty_message("00001", "96/05/12", c.body);
        const std::string two = nifty_message("00002", "96/05/13", c.body);
        write_file(dir.file("NIFTY.TXT"), two + one);
        run = run_program(dir.path(), {"-N", "NIFTY.TXT"});
        EXPECT_EQ(run.status, 0) << c.label << ": " << printable(run.err);
        EXPECT_EQ(read_file(dir.file("NIFTY.TXT")), one + two) << c.label;
    }
}

TEST(PipelineRefusals, NamesTooLongForTheBuffers) {
    TempDir dir;
    const size_t longest = NAME_BUFFER_SIZE - 5;  // room for ".BAK" and the NUL
    std::string too_long(longest + 1, 'a');
    write_file(dir.file("pcvan.log"), PCVAN_LOG);
    RunResult run = run_program(dir.path(), {"-P", too_long, "pcvan.log"});
    EXPECT_EQ(run.err, "Name Too Long!: " + too_long + "\n" + "Reading: PCVAN.LOG\n" + FINISHED);
#ifndef _WIN32
    // One byte shorter gets through to the system, which has its own limit.
    std::string fits(longest, 'a');
    run = run_program(dir.path(), {"-P", fits});
    EXPECT_EQ(run.err, fits + ": " + std::strerror(ENAMETOOLONG) + "\n");
#endif
}

#ifndef _WIN32
// Two files differing only in case: the upper-cased working name would reach
// the other one.
TEST(PipelineRefusals, AmbiguousNames) {
    TempDir dir;
    write_file(dir.file("nifty.log"), NIFTY_LOG);
    write_file(dir.file("NIFTY.LOG"), NIFTY_SORTED);
    if (read_file(dir.file("nifty.log")) != NIFTY_LOG) {
        GTEST_SKIP() << "file system ignores letter case";
    }
    RunResult run = run_program(dir.path(), {"-N", "nifty.log", "Nifty.log"});
    EXPECT_EQ(run.err, std::string("Ambiguous Name!: nifty.log\n") +
                           "Nifty.log: " + std::strerror(AMBIGUOUS_NAME_ERROR) + "\n");
    EXPECT_EQ(list_directory(dir.path()), (Names{"NIFTY.LOG", "nifty.log"}));
    EXPECT_EQ(read_file(dir.file("nifty.log")), NIFTY_LOG);
    EXPECT_EQ(read_file(dir.file("NIFTY.LOG")), NIFTY_SORTED);
}

#endif  // _WIN32

// A size of 2 GiB or more arrives negative (past 4 GiB its low 32 bits alone
// would look small), which has_room_for would skip without a word: refused
// with one, and the file neither read nor truncated.
TEST(PipelineRefusals, FilesOfTwoGigabytesOrMore) {
    const uintmax_t sizes[] = {uintmax_t{1} << 31, (uintmax_t{3} << 30) + 5,
                               (uintmax_t{1} << 32) + 100};
    for (const uintmax_t size : sizes) {
        TempDir dir;
        write_file(dir.file("big.log"), "");
        std::error_code error;
        fs::resize_file(dir.file("big.log"), size, error);
        if (error) {
            GTEST_SKIP() << "no sparse file of " << size << " bytes: " << error.message();
        }
        for (const char* switches : {"-P", "-NB"}) {
            SCOPED_TRACE(std::to_string(size) + " " + switches);
            RunResult run = run_program(dir.path(), {switches, "big.log"});
            EXPECT_EQ(run.status, 2);
            EXPECT_EQ(run.err, "File Too Large!: big.log\n");
            EXPECT_EQ(list_directory(dir.path()), Names{"big.log"});
            EXPECT_EQ(fs::file_size(dir.file("big.log")), size);
        }
    }
}

// The log's directory is resolved through its upper-cased name, and nothing
// lands in the current directory.
TEST(PipelineAbsolutePath, ResultsLandBesideTheLog) {
    for (const char* switches : {"-N", "-NB"}) {
        SCOPED_TRACE(switches);
        TempDir logs;
        TempDir work;
        fs::create_directory(logs.file("Forum"));
        std::string path = logs.file("Forum/forum.log");
        write_file(path, NIFTY_LOG);
        RunResult run = run_program(work.path(), {switches, path});
        EXPECT_EQ(run.err, "Reading: " + upper(path) + "\n" + FINISHED);
        bool backup = std::string(switches) == "-N";
        const std::string log = "forum.log";
        Names expected = backup ? Names{"FORUM.BAK", log} : Names{log};
        EXPECT_EQ(list_directory(logs.file("Forum")), expected);
        EXPECT_EQ(read_file(logs.file("Forum/" + log)), NIFTY_SORTED);
        EXPECT_TRUE(list_directory(work.path()).empty());
    }
}

}  // namespace
