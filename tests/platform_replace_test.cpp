// The contract of platform_replace.h, one table run on both platforms: what
// the log, its ".BAK" and the folder hold after a hold, a write to the side
// file and a commit or a refusal. Rows a platform cannot express are marked.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#endif

#include "platform/platform.h"
#include "platform/platform_replace.h"
#include "support/failing_runs.h"
#include "support/test_files.h"

namespace {

using Files = std::map<std::string, std::string>;

const std::string OLD_LOG = "old log\r\n";
const std::string NEW_LOG = "new log\r\n";
const std::string OLD_BACKUP = "old backup\r\n";

#ifdef _WIN32
constexpr bool POSIX = false;
#else
constexpr bool POSIX = true;
#endif

// The record a ".BAK" keeps of its log, written as another program would.
bool record_backup_of(const std::string& backup, const std::string& log) {
#ifdef _WIN32
    char root[MAX_PATH];
    DWORD flags = 0;
    if (!GetVolumePathNameA(backup.c_str(), root, sizeof root) ||
        !GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
        (flags & FILE_NAMED_STREAMS) == 0) {
        return false;
    }
    HANDLE stream = CreateFileA((backup + ":zembra.log").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    WriteFile(stream, log.data(), static_cast<DWORD>(log.size()), &written, nullptr);
    CloseHandle(stream);
    return true;
#else
    return setxattr(backup.c_str(), "user.zembra.log", log.data(), log.size(), 0) == 0;
#endif
}

#ifndef _WIN32
// Immutable where the file system has the flag; false where it has not.
bool make_immutable(const std::string& path, bool on) {
#if defined(__linux__) && defined(FS_IOC_SETFLAGS)
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return done;
#else
    (void)path;
    (void)on;
    return false;
#endif
}
#endif

struct ReplaceRun {
    int held = -1;
    int unchanged = -1;
    CommitOutcome outcome = COMMIT_KEPT;
    CommitReport report = {};
    HoldReport hold_report = {};
    std::string side;
};

// Holds forum.log, writes NEW_LOG to the side file and commits it, with
// `before_commit` run between the write and the commit.
ReplaceRun replace_once(bool backup, void (*before_commit)()) {
    ReplaceRun run;
    LogHold* hold = nullptr;
    run.held = hold_log("forum.log", "FORUM.LOG", &hold, &run.hold_report);
    if (run.held != 0) {
        return run;
    }
    PlatformFileIdentity indexed;
    EXPECT_EQ(platform_identify(held_log_file(hold), &indexed), 0);
    run.side = held_side_name(hold);
    PlatformFile* out = platform_open_write(run.side.c_str());
    EXPECT_NE(out, nullptr);
    if (out != nullptr) {
        EXPECT_EQ(platform_write(out, NEW_LOG.data(), NEW_LOG.size()), 0);
        EXPECT_EQ(platform_close(out), 0);
    }
    EXPECT_EQ(seal_side_file(hold), 0) << std::strerror(errno);
    if (before_commit != nullptr) {
        before_commit();
    }
    run.unchanged = held_log_unchanged(hold, &indexed);
    run.outcome = commit_side_file(hold, backup ? "FORUM.BAK" : nullptr, &run.report);
    char side_left[NAME_BUFFER_SIZE];
    EXPECT_EQ(release_hold(hold, side_left), 0);
    return run;
}

void replace_log_under_its_name() {
    write_file("moved", "another log\r\n");
    std::remove("forum.log");
    std::rename("moved", "forum.log");
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
    {"backup_rename_fails", true, false, OP_RENAME, POSIX ? 2 : 1, EIO, false, nullptr, COMMIT_KEPT,
     "old", "old backup"},
    {"foreign_backup", true, false, OP_ANY, 0, 0, true, nullptr, COMMIT_FOREIGN_BACKUP, "old",
     "old backup"},
    {"foreign_backup_no_backup", false, false, OP_ANY, 0, 0, true, nullptr, COMMIT_DONE, "new",
     "old backup"},
    // Windows holds the log unshared, and Wine will not remove it meanwhile.
    {"log_replaced", true, true, OP_ANY, 0, 0, false, replace_log_under_its_name, COMMIT_KEPT,
     "another", "old backup"},
};

class ReplaceContract : public testing::TestWithParam<ContractCase> {};

TEST_P(ReplaceContract, LeavesTheFolderAsTheTableSays) {
    const ContractCase& c = GetParam();
    if (c.posix_only && !POSIX) {
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
    const ReplaceRun run = replace_once(c.backup, c.before_commit);
    ASSERT_EQ(run.held, 0) << std::strerror(errno);
    EXPECT_EQ(run.outcome, c.outcome) << std::strerror(run.report.error);
    EXPECT_EQ(run.unchanged == 0, c.before_commit == nullptr);
    const std::string log_now = read_file("forum.log");
    EXPECT_EQ(log_now.substr(0, log_now.find(' ')), c.log);
    const std::string backup_now = read_file("FORUM.BAK");
    EXPECT_EQ(backup_now.substr(0, backup_now.find('\r')), c.backup_after);
    const Files files = snapshot_tree(dir.path());
    EXPECT_EQ(files.size(), 3u) << "a side file or spare name is left";
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

#ifndef _WIN32
// A second run of the same log is busy while the first holds its side
// file; a reader's flock on the log or its folder stops nothing.
TEST(ReplaceContractHold, OnlyRunsOfTheLogExcludeEachOther) {
    TempDir dir;
    InDirectory inside(dir.path());
    write_file("forum.log", OLD_LOG);
    const int reader = open("forum.log", O_RDONLY);
    const int folder = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(reader, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(flock(folder, LOCK_EX | LOCK_NB), 0);
    LogHold* first = nullptr;
    HoldReport report = {};
    ASSERT_EQ(hold_log("forum.log", "FORUM.LOG", &first, &report), 0);
    pid_t child = fork();
    if (child == 0) {
        LogHold* second = nullptr;
        HoldReport other = {};
        _exit(hold_log("forum.log", "FORUM.LOG", &second, &other) == -2 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char side_left[NAME_BUFFER_SIZE];
    EXPECT_EQ(release_hold(first, side_left), 0);
    close(reader);
    close(folder);
}

// The new log gets the log's owner, group, mode and nothing of the folder's
// default access list; an immutable log is refused with nothing changed.
TEST(ReplaceContractHold, ExactPermissionsAndImmutableLogs) {
    TempDir dir;
    InDirectory inside(dir.path());
    write_file("forum.log", OLD_LOG);
    ASSERT_EQ(chmod("forum.log", 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown("forum.log", 1234, 4321), 0);
    }
    // A default ACL naming user 1234 with read and write (version 2 entries:
    // tag, permissions, id).
    const uint32_t acl[] = {2,          0x00070001, 0xFFFFFFFF, 0x00060002, 1234,      0x00070004,
                            0xFFFFFFFF, 0x00070010, 0xFFFFFFFF, 0x00000020, 0xFFFFFFFF};
    const bool has_acl = setxattr(".", "system.posix_acl_default", acl, sizeof acl, 0) == 0;
    const ReplaceRun run = replace_once(true, nullptr);
    ASSERT_EQ(run.outcome, COMMIT_DONE) << std::strerror(run.report.error);
    struct stat status;
    ASSERT_EQ(stat("forum.log", &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(status.st_uid, 1234u);
        EXPECT_EQ(status.st_gid, 4321u);
    }
    if (has_acl) {
        EXPECT_LT(getxattr("forum.log", "system.posix_acl_access", nullptr, 0), 0);
    }
    if (!make_immutable("forum.log", true)) {
        GTEST_SKIP() << "no immutable flag on this file system";
    }
    const auto before = snapshot_tree(dir.path());
    LogHold* hold = nullptr;
    HoldReport report = {};
    ASSERT_EQ(hold_log("forum.log", "FORUM.LOG", &hold, &report), 0);
    CommitReport commit;
    EXPECT_EQ(commit_side_file(hold, "FORUM.BAK", &commit), COMMIT_LOCKED_LOG);
    char side_left[NAME_BUFFER_SIZE];
    release_hold(hold, side_left);
    make_immutable("forum.log", false);
    EXPECT_EQ(snapshot_tree(dir.path()), before);
}
#endif

}  // namespace
