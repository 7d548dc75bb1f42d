// The contract of platform_replace.h, one table run on both platforms: what
// the log, its ".BAK" and the folder hold after a hold, a write to the side
// file and a commit or a refusal. Where the platforms differ, a row says what
// each does. (POSIX-only cases: platform_posix_test; Windows-only ones:
// platform_win32_test.)
#include "platform/platform_replace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/replace_runs.h"
#include "support/test_files.h"

namespace {

using Files = std::map<std::string, std::string>;

// The log moved away and another file put under its name since the hold.
void replace_log_under_its_name() {
    std::rename("forum.log", "moved.log");
    write_file("forum.log", "another log\r\n");
}

// Another program reading the old backup or the new log, as a viewer opens
// a file: on Windows (no sharing for deletion) that name can then be neither
// replaced nor removed, on POSIX it can.
std::FILE* reader_elsewhere = nullptr;

void read_old_backup_elsewhere() {
    reader_elsewhere = std::fopen("FORUM.BAK", "rb");
    EXPECT_NE(reader_elsewhere, nullptr);
}

void read_new_log_elsewhere() {
    reader_elsewhere = std::fopen("FORUM.$$$", "rb");
    EXPECT_NE(reader_elsewhere, nullptr);
}

void close_reader_elsewhere() {
    if (reader_elsewhere != nullptr) {
        std::fclose(reader_elsewhere);
        reader_elsewhere = nullptr;
    }
}

struct ContractCase {
    const char* name;
    bool backup;
    bool posix_only;
    PlatformOperation fault;  // OP_ANY: none
    long fault_at;
    int error;
    bool foreign_backup;  // FORUM.BAK recorded as forum.txt's
    void (*before_commit)();
    CommitOutcome outcome;
    const char* log;  // forum.log afterwards
    const char* backup_after;
};

const ContractCase CONTRACT[] = {
    {"backup", true, false, OP_ANY, 0, 0, false, nullptr, COMMIT_DONE, "new", "old log"},
    {"no_backup", false, false, OP_ANY, 0, 0, false, nullptr, COMMIT_DONE, "new", "old backup"},
    // Without a swap (exFAT, vfat, some network file systems): a second
    // name of the old log, or where links are refused, a copy.
    {"no_swap", true, true, OP_EXCHANGE, 1, EINVAL, false, nullptr, COMMIT_DONE, "new", "old log"},
    {"no_swap_no_links", true, true, OP_LINK, 1, EPERM, false, nullptr, COMMIT_DONE, "new",
     "old log"},
    // The old backup goes last: when the old log cannot become the ".BAK",
    // the new log is swapped out again.
    {"backup_rename_fails", true, false, OP_RENAME, ON_POSIX ? 2 : 1, EIO, false, nullptr,
     COMMIT_KEPT, "old", "old backup"},
    {"foreign_backup", true, false, OP_ANY, 0, 0, true, nullptr, COMMIT_FOREIGN_BACKUP, "old",
     "old backup"},
    {"foreign_backup_no_backup", false, false, OP_ANY, 0, 0, true, nullptr, COMMIT_DONE, "new",
     "old backup"},
    {"log_replaced", true, false, OP_ANY, 0, 0, false, replace_log_under_its_name, COMMIT_KEPT,
     "another", "old backup"},
    {"log_replaced_no_backup", false, false, OP_ANY, 0, 0, false, replace_log_under_its_name,
     COMMIT_KEPT, "another", "old backup"},
    {"old_backup_read_elsewhere", true, false, OP_ANY, 0, 0, false, read_old_backup_elsewhere,
     ON_POSIX ? COMMIT_DONE : COMMIT_KEPT, ON_POSIX ? "new" : "old",
     ON_POSIX ? "old log" : "old backup"},
    {"new_log_read_elsewhere", true, false, OP_ANY, 0, 0, false, read_new_log_elsewhere,
     ON_POSIX ? COMMIT_DONE : COMMIT_KEPT, ON_POSIX ? "new" : "old",
     ON_POSIX ? "old log" : "old backup"},
    {"rename_fails_no_backup", false, false, OP_RENAME, 1, EIO, false, nullptr, COMMIT_KEPT, "old",
     "old backup"},
};

class ReplaceContract : public testing::TestWithParam<ContractCase> {};

TEST_P(ReplaceContract, LeavesTheFolderAsTheTableSays) {
    const ContractCase& c = GetParam();
    if (c.posix_only && !ON_POSIX) {
        GTEST_SKIP() << "Windows replaces with ReplaceFileA alone";
    }
    TempDir dir;
    InDirectory inside(dir.path());
    write_file("forum.log", OLD_LOG);
    write_file("FORUM.BAK", OLD_BACKUP);
    write_file("other.txt", "other");
    if (c.foreign_backup && !record_backup_of("FORUM.BAK", "forum.txt")) {
        GTEST_SKIP() << "no extended attributes or streams here";
    }
    // The no-links row fails every link and every swap.
    const ScopedFault no_swap(c.fault == OP_LINK ? OP_EXCHANGE : OP_ANY, c.fault == OP_LINK ? 1 : 0,
                              EINVAL, FROM_THEN_ON);
    const ScopedFault fault(c.fault, c.fault_at, c.error, c.fault == OP_LINK ? FROM_THEN_ON : ONCE);
    const ReplaceRun run = replace_once(c.backup, c.before_commit, close_reader_elsewhere);
    ASSERT_EQ(run.held, 0) << std::strerror(errno);
    EXPECT_EQ(run.outcome, c.outcome) << std::strerror(run.report.error);
    EXPECT_EQ(run.unchanged == 0, c.before_commit != replace_log_under_its_name);
    const std::string log_now = read_file("forum.log");
    EXPECT_EQ(log_now.substr(0, log_now.find(' ')), c.log);
    const std::string backup_now = read_file("FORUM.BAK");
    EXPECT_EQ(backup_now.substr(0, backup_now.find('\r')), c.backup_after);
    const Files files = snapshot_tree(dir.path());
    EXPECT_EQ(files.size() - files.count("moved.log"), 3u) << "a side file or spare name is left";
    if (c.outcome == COMMIT_FOREIGN_BACKUP) {
        EXPECT_STREQ(run.report.foreign, "forum.txt");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ReplaceContract, testing::ValuesIn(CONTRACT),
                         [](const auto& info) { return std::string(info.param.name); });

// A side name taken by a file this run may not use is passed over and named.
TEST(ReplaceContractHold, SquattedSideNamesArePassedOverAndNamed) {
    TempDir dir;
    InDirectory inside(dir.path());
    write_file("forum.log", OLD_LOG);
    write_file("FORUM.$$$", "someone's");
    LogHold* hold = nullptr;
    HoldReport report = {};
    ASSERT_EQ(hold_log("forum.log", "FORUM.LOG", &hold, &report), 0);
    EXPECT_STREQ(held_side_name(hold), "FORUM.$01");
    EXPECT_STREQ(report.squatted, "FORUM.$$$");
    char side_left[NAME_BUFFER_SIZE];
    EXPECT_EQ(release_hold(hold, side_left), 0);
    EXPECT_EQ(read_file("FORUM.$$$"), "someone's");
    EXPECT_FALSE(file_exists("FORUM.$01"));
}

// Another run of the log, or a program that has it open for writing, makes
// the log busy, for a replace and for a check alike; nothing waits. Readers,
// before the hold or during it, stop nothing.
TEST(HoldLog, OtherRunsAndWritersMakeTheLogBusy) {
    TempDir dir;
    InDirectory inside(dir.path());
    write_file("forum.log", OLD_LOG);
    std::FILE* reader = std::fopen("forum.log", "rb");
    ASSERT_NE(reader, nullptr);
    LogHold* hold = nullptr;
    HoldReport report = {};
    ASSERT_EQ(hold_log("forum.log", "FORUM.LOG", &hold, &report), 0) << std::strerror(errno);
    std::FILE* reader_meanwhile = std::fopen("forum.log", "rb");
    EXPECT_NE(reader_meanwhile, nullptr);
    LogHold* second = nullptr;
    errno = 0;
    EXPECT_EQ(hold_log("forum.log", "FORUM.LOG", &second, &report), PLATFORM_BUSY);
    EXPECT_EQ(errno, EBUSY);
    char side_left[NAME_BUFFER_SIZE];
    EXPECT_EQ(release_hold(hold, side_left), 0);
    std::fclose(reader);
    if (reader_meanwhile != nullptr) std::fclose(reader_meanwhile);

    std::FILE* writer = std::fopen("forum.log", "ab");
    ASSERT_NE(writer, nullptr);
    errno = 0;
    EXPECT_EQ(hold_log("forum.log", "FORUM.LOG", &hold, &report), PLATFORM_BUSY);
    EXPECT_EQ(errno, EBUSY);
    PlatformFile* checked = nullptr;
    errno = 0;
    EXPECT_EQ(platform_open_log("forum.log", &checked), PLATFORM_BUSY);
    EXPECT_EQ(errno, EBUSY);
    std::fclose(writer);
    ASSERT_EQ(hold_log("forum.log", "FORUM.LOG", &hold, &report), 0);
    EXPECT_EQ(release_hold(hold, side_left), 0);
    EXPECT_EQ(snapshot_tree(dir.path()), (Files{{"forum.log", OLD_LOG}}));

    errno = 0;
    EXPECT_EQ(hold_log("missing.log", "MISSING.LOG", &hold, &report), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(platform_open_log("missing.log", &checked), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
