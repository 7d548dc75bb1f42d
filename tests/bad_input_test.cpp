// Hostile file arguments, end to end: each gets a clear message (or is
// processed soundly) and no byte of it is lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "driver/log_pipeline.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/job_step_test.h"
#include "support/log_texts.h"
#include "support/test_files.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

using Names = std::vector<std::string>;

const std::string PCVAN_ONE = pcvan_message("1", "96/05/12", "body 1");
const std::string PCVAN_TWO = pcvan_message("2", "96/05/13", "body 2");
const std::string PCVAN_LOG = PCVAN_TWO + PCVAN_ONE;
const std::string PCVAN_SORTED = PCVAN_ONE + PCVAN_TWO;
const std::string FINISHED = "Sorting[2]\n...Writing\n...Finish\n";

// --- Contents that hold no message -------------------------------------------------

std::string random_bytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

struct ContentCase {
    const char* label;
    const char* switches;
    std::string content;
};

const ContentCase CONTENT_CASES[] = {
    {"empty_pcvan", "-P", ""},
    {"empty_nifty", "-NB", ""},
    {"nul_bytes_pcvan", "-P", std::string(20000, '\0')},
    {"nul_bytes_nifty", "-N", std::string(20000, '\0')},
    // A header line cut short by a NUL: the matcher sees the line as a string.
    {"nul_inside_header", "-P", std::string("#1\0/9 TITLE\r\n", 13) + PCVAN_TITLE + "\r\n"},
    {"garbage_pcvan", "-P", random_bytes(64 * 1024, 1)},
    {"garbage_pcvan_no_check", "-P!B", random_bytes(64 * 1024, 2)},
    {"garbage_nifty", "-N", random_bytes(64 * 1024, 3)},
    // Garbage of a single line far longer than the 8192-byte pieces.
    {"garbage_without_line_feeds", "-N", std::string(30000, '\xff')},
};

class NoMessageInside : public testing::TestWithParam<ContentCase> {};

TEST_P(NoMessageInside, SkippedAndLeftAlone) {
    const ContentCase& c = GetParam();
    TempDir dir;
    write_file(dir.file("LOG.TXT"), c.content);
    RunResult run = run_program(dir.path(), {c.switches, "LOG.TXT"});
    EXPECT_EQ(run.status, 2);  // not a log: a problem
    EXPECT_EQ(run.err, "Reading: LOG.TXT\nSkip!\n") << printable(run.err);
    EXPECT_EQ(list_directory(dir.path()), Names{"LOG.TXT"});
    EXPECT_TRUE(read_file(dir.file("LOG.TXT")) == c.content);
}

INSTANTIATE_TEST_SUITE_P(BadContent, NoMessageInside, testing::ValuesIn(CONTENT_CASES),
                         [](const auto& info) { return std::string(info.param.label); });

// Messages with garbage between them: the garbage around them may go, the
// messages come out sorted, and the backup holds every byte.
TEST(GarbageAroundMessages, MessagesSortedBackupWhole) {
    TempDir dir;
    std::string garbage = random_bytes(4096, 4);
    // No line feed in it, so that it cannot end in something header-like.
    for (char& c : garbage) {
        c = c == '\n' ? '.' : c;
    }
    const std::string log = garbage + "\r\n" + PCVAN_LOG;
    write_file(dir.file("LOG.TXT"), log);
    RunResult run = run_program(dir.path(), {"-P", "LOG.TXT"});
    EXPECT_EQ(run.err, "Reading: LOG.TXT\n" + FINISHED) << printable(run.err);
    EXPECT_EQ(read_file(dir.file("LOG.TXT")), PCVAN_SORTED);
    EXPECT_TRUE(read_file(dir.file("LOG.BAK")) == log);
}

// --- Names --------------------------------------------------------------------------

struct NameCase {
    const char* label;
    const char* switches;
    const char* argument;
    const char* shown;   // the upper-cased name the messages show
    const char* backup;  // or null without backup
};

// Names on POSIX are text of the locale's encoding (the tests run in the C
// locale, and UTF-8 names are the rule): every ASCII letter is one, and
// no byte is a path separator but "/". 0x95 0x5C would be the Shift_JIS
// character "hyou" ending in a backslash byte, 0x83 0x61 a katakana ending
// in the byte of 'a' (upper-cased: in UTF-8 it is a stray byte and an 'a').
// (Windows keeps the Shift_JIS rule; its names are not tested here.)
const NameCase NAME_CASES[] = {
    {"trail_backslash", "-P", "\x95\x5cxyz.log", "\x95\x5cXYZ.LOG", "\x95\x5cXYZ.BAK"},
    {"trail_backslash_before_dot", "-P", "\x95\x5c.log", "\x95\x5c.LOG", "\x95\x5c.BAK"},
    {"trail_backslash_no_backup", "-PB", "\x95\x5cxyz.log", "\x95\x5cXYZ.LOG", nullptr},
    {"trail_lower_case_letter", "-P", "\x83\x61log.txt", "\x83\x41LOG.TXT", "\x83\x41LOG.BAK"},
    // "会a.log" in UTF-8: the "a" after the three bytes of the kanji is a letter.
    {"utf8_kanji_then_letter", "-P",
     "\xe4\xbc\x9a"
     "a.log",
     "\xe4\xbc\x9a"
     "A.LOG",
     "\xe4\xbc\x9a"
     "A.BAK"},
};

class ShiftJisNames : public testing::TestWithParam<NameCase> {};

TEST_P(ShiftJisNames, FoundProcessedAndNamedRight) {
    const NameCase& c = GetParam();
#ifdef _WIN32
    // Such names are Shift_JIS only under code page 932, and the test files'
    // std::filesystem paths do not carry them even there.
    GTEST_SKIP() << "POSIX only";
#endif
    TempDir dir;
    write_file(dir.file(c.argument), PCVAN_LOG);
    RunResult run = run_program(dir.path(), {c.switches, c.argument});
    EXPECT_EQ(run.err, std::string("Reading: ") + c.shown + "\n" + FINISHED) << printable(run.err);
    // The log keeps its name; the backup's is made from the shown name.
    Names expected = c.backup != nullptr ? Names{c.backup, c.argument} : Names{c.argument};
    std::sort(expected.begin(), expected.end());
    Names names = list_directory(dir.path());
    EXPECT_EQ(names, expected) << printable(names.empty() ? "" : names.front());
    EXPECT_EQ(read_file(dir.file(c.argument)), PCVAN_SORTED);
    if (c.backup != nullptr) {
        EXPECT_EQ(read_file(dir.file(c.backup)), PCVAN_LOG);
    }
}

INSTANTIATE_TEST_SUITE_P(LeadAndTrail, ShiftJisNames, testing::ValuesIn(NAME_CASES),
                         [](const auto& info) { return std::string(info.param.label); });

// --- NIFTY SERVE banner as an unterminated last line ----------------------------------

// The latest banner is taken even as an unterminated last line. At the head
// of the new log it is ended like the first header line: run into that line,
// it would make the next run lose that message's body as text before the
// first header.
TEST(UnterminatedBanner, KeptEndedAndTheSecondRunLosesNothing) {
    TempDir dir;
    const std::string old_banner = "- ABCDEF MES( 3) ROOM NAME 96/05/12\r\n";
    const std::string last_banner = "- ABCDEF MES( 3) ROOM NAME 96/05/20";
    const std::string one = nifty_message("00001", "96/05/12", "body");
    const std::string two = nifty_message("00002", "96/05/13", "body");
    write_file(dir.file("NIFTY.LOG"), old_banner + two + one + last_banner);
    RunResult run = run_program(dir.path(), {"-N", "NIFTY.LOG"});
    EXPECT_EQ(run.err, "Reading: NIFTY.LOG\n" + FINISHED) << printable(run.err);
    const std::string sorted = last_banner + "\r\n" + one + two;
    EXPECT_EQ(read_file(dir.file("NIFTY.LOG")), sorted);
    run = run_program(dir.path(), {"-NB", "NIFTY.LOG"});
    EXPECT_EQ(run.err, "Reading: NIFTY.LOG\n" + FINISHED) << printable(run.err);
    EXPECT_EQ(read_file(dir.file("NIFTY.LOG")), sorted);
}

// --- A file that vanishes after the checks --------------------------------------------

// The file disappears (ENOENT) at each operation up to the open that holds
// the log: at the status query, the free-space query, the name check or the
// open. Each is refused with a message and the log is left as it was.
TEST(VanishingFile, EachCheckRefusesWithAMessage) {
    TempDir dir;
    const IndexedLogPtr indexed = make_indexed_log();
    const std::string missing = std::string("LOG.TXT: ") + std::strerror(ENOENT) + "\n";
    bool reading = false;
    for (long n = 1; !reading && n <= 10; ++n) {
        SCOPED_TRACE("operation " + std::to_string(n));
        write_file(dir.file("LOG.TXT"), PCVAN_LOG);
        const RunOptions options = {SERVICE_PCVAN, 1, 1, 0};
        InDirectory inside(dir.path());
        BackupsMade made = {};
        const FailedRun run = run_failing(
            n, ENOENT, [&] { return process_log_file("LOG.TXT", options, indexed.get(), &made); });
        forget_backups_made(&made);
        const std::string& err = run.err;
        EXPECT_TRUE(is_problem(static_cast<LogOutcome>(run.result)))
            << run.result << printable(err);
        reading = err.starts_with("Reading: LOG.TXT\n");
        EXPECT_TRUE(reading || err == missing || err == "Drive Not Ready!\nSkip!: LOG.TXT\n")
            << printable(err);
        EXPECT_EQ(list_directory("."), Names{"LOG.TXT"});
        EXPECT_EQ(read_file("LOG.TXT"), PCVAN_LOG);
    }
    EXPECT_TRUE(reading);
}

#ifndef _WIN32

// --- Files that are not regular files (POSIX) -------------------------------------------

// A FIFO must be refused from its status alone: opening it would wait for a
// writer forever. `timeout` turns a hang into a failure instead of a stuck run.
TEST(NotARegularFile, FifoIsRefusedWithoutWaiting) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("pipe.log").c_str(), 0600), 0);
    RunResult run = run_program(dir.path(), {"-s", "KILL", "20", ZEMBRA_BINARY, "-P", "pipe.log"},
                                "/usr/bin/timeout");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, std::string("pipe.log: ") + std::strerror(EINVAL) + "\n");
    EXPECT_EQ(list_directory(dir.path()), Names{"pipe.log"});
    struct stat status;
    ASSERT_EQ(lstat(dir.file("pipe.log").c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

// A device has no size to check and must never be moved aside.
TEST(NotARegularFile, DeviceIsRefused) {
    TempDir dir;
    for (const char* switches : {"-P", "-NB"}) {
        RunResult run = run_program(dir.path(), {switches, "/dev/null"});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, std::string("/dev/null: ") + std::strerror(EINVAL) + "\n");
    }
    struct stat status;
    ASSERT_EQ(stat("/dev/null", &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
    EXPECT_TRUE(list_directory(dir.path()).empty());
}

// --- Permissions (POSIX) -----------------------------------------------------------------

// Moving a file aside and creating its successor need write permission on
// the directory, not on the file: a read-only log is processed like any other
// (as Windows does, where MoveFile ignores the read-only attribute), for root
// and other users alike. Its backup keeps the read-only bits.
TEST(Permissions, ReadOnlyLogIsProcessed) {
    TempDir dir;
    write_file(dir.file("LOG.TXT"), PCVAN_LOG);
    ASSERT_EQ(chmod(dir.file("LOG.TXT").c_str(), 0444), 0);
    RunResult run = run_program(dir.path(), {"-P", "LOG.TXT"});
    EXPECT_EQ(run.err, "Reading: LOG.TXT\n" + FINISHED) << printable(run.err);
    EXPECT_EQ(read_file(dir.file("LOG.TXT")), PCVAN_SORTED);
    EXPECT_EQ(read_file(dir.file("LOG.BAK")), PCVAN_LOG);
    struct stat status;
    ASSERT_EQ(stat(dir.file("LOG.BAK").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0444u);
}

// In a read-only directory nothing can be moved: a user other than root is
// refused before anything changes. Root may write anyway, so for root the log
// is processed; either way nothing is lost.
TEST(Permissions, ReadOnlyDirectory) {
    TempDir dir;
    fs::create_directory(dir.file("ro"));
    write_file(dir.file("ro/LOG.TXT"), PCVAN_LOG);
    ASSERT_EQ(chmod(dir.file("ro").c_str(), 0555), 0);
    RunResult run = run_program(dir.path(), {"-P", "ro/LOG.TXT"});
    chmod(dir.file("ro").c_str(), 0755);
    if (geteuid() == 0) {
        EXPECT_EQ(run.err, "Reading: RO/LOG.TXT\n" + FINISHED) << printable(run.err);
        EXPECT_EQ(read_file(dir.file("ro/LOG.BAK")), PCVAN_LOG);
    } else {
        EXPECT_EQ(run.err, "Reading: RO/LOG.TXT\nSorting[2]\n...Writing\nBackUp Failed! Skip!\n")
            << printable(run.err);
        EXPECT_EQ(list_directory(dir.file("ro")), Names{"LOG.TXT"});
        EXPECT_EQ(read_file(dir.file("ro/LOG.TXT")), PCVAN_LOG);
    }
}

#endif  // _WIN32

}  // namespace
