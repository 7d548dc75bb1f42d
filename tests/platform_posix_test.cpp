// The Windows file-system semantics on POSIX (names that ignore letter case),
// the held log and its replace, sizes and free space.
#ifndef _WIN32
#include "platform/platform_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_names.h"
#include "platform/platform_replace.h"
#include "support/failing_runs.h"
#include "support/replace_runs.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// Resolution result: the name, or "error:" and the errno's name.
std::string resolve(const std::string& path, bool new_name) {
    char resolved[NAME_BUFFER_SIZE];
    errno = 0;
    int result = new_name ? resolve_new_name(path.c_str(), resolved, sizeof resolved)
                          : resolve_existing_name(path.c_str(), resolved, sizeof resolved);
    if (result != 0) {
        return errno == ENOENT                 ? "error:ENOENT"
               : errno == ENOTDIR              ? "error:ENOTDIR"
               : errno == AMBIGUOUS_NAME_ERROR ? "error:AMBIGUOUS"
                                               : "error:" + std::to_string(errno);
    }
    return resolved;
}

class NameResolution : public testing::Test {
  protected:
    void SetUp() override {
        write_file(dir.file("nifty.log"), "n");
        write_file(dir.file("dup.log"), "1");
        write_file(dir.file("DUP.LOG"), "2");
        fs::create_directory(dir.file("Logs"));
        write_file(dir.file("Logs/inner.log"), "i");
        // A double-byte character whose trail byte is 'a': never folded.
        write_file(dir.file("\x83\x61z.log"), "k");
        if (!file_exists(dir.file("dup.log")) || read_file(dir.file("dup.log")) != "1") {
            GTEST_SKIP() << "file system ignores letter case";
        }
    }
    TempDir dir;
};

struct ResolutionCase {
    const char* path;
    const char* existing;  // resolve_existing_name
    const char* created;   // resolve_new_name
};

TEST_F(NameResolution, RelativeNames) {
    const ResolutionCase cases[] = {
        {"nifty.log", "nifty.log", "nifty.log"},
        {"NIFTY.LOG", "nifty.log", "nifty.log"},
        {"Nifty.Log", "nifty.log", "nifty.log"},
        {"dup.log", "dup.log", "dup.log"},  // an exact match wins
        {"DUP.LOG", "DUP.LOG", "DUP.LOG"},
        {"Dup.Log", "error:AMBIGUOUS", "error:AMBIGUOUS"},
        {"NEW.LOG", "error:ENOENT", "NEW.LOG"},
        {"LOGS/INNER.LOG", "Logs/inner.log", "Logs/inner.log"},
        {"LOGS/NEW.BAK", "error:ENOENT", "Logs/NEW.BAK"},
        {"./LOGS/../NIFTY.LOG", "./Logs/../nifty.log", "./Logs/../nifty.log"},
        {"LOGS//INNER.LOG", "Logs//inner.log", "Logs//inner.log"},
        {"MISSING/NIFTY.LOG", "error:ENOENT", "error:ENOENT"},
        {"NIFTY.LOG/X", "error:ENOTDIR", "error:ENOTDIR"},
        {"\x83\x61Z.LOG", "\x83\x61z.log", "\x83\x61z.log"},
        // Names are UTF-8 (the C locale here), not Shift_JIS: the "a" after
        // the stray byte 0x83 is a letter like any other.
        {"\x83\x41Z.LOG", "\x83\x61z.log", "\x83\x61z.log"},
        {"", "error:ENOENT", "error:ENOENT"},
    };
    InDirectory inside(dir.path());
    // A small directory is listed; in a large one every spelling is tried
    // (long names make a directory large with few files).
    for (const bool crowded : {false, true}) {
        for (int n = 0; crowded && n < 100; ++n) {
            for (const char* folder : {"", "Logs/"}) {
                const std::string name =
                    dir.file(folder + std::to_string(n) + std::string(200, 'x'));
                close(open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
            }
        }
        for (const auto& c : cases) {
            SCOPED_TRACE(printable(c.path) + (crowded ? " in a large directory" : ""));
            EXPECT_EQ(resolve(c.path, false), c.existing);
            EXPECT_EQ(resolve(c.path, true), c.created);
        }
    }
}

TEST_F(NameResolution, AbsoluteNamesResolveEveryDirectory) {
    // The working name of an absolute path is upper-cased as a whole.
    std::string base = dir.path();
    EXPECT_EQ(resolve(upper(base + "/logs/inner.log"), false), base + "/Logs/inner.log");
    EXPECT_EQ(resolve(upper(base + "/logs/inner.bak"), true), base + "/Logs/INNER.BAK");
    EXPECT_EQ(resolve(base + "/NIFTY.LOG", false), base + "/nifty.log");
}

TEST_F(NameResolution, NameLongerThanTheBufferFails) {
    char small[8];
    errno = 0;
    EXPECT_EQ(resolve_existing_name("nifty.log", small, sizeof small), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(NameResolution, EveryOperationUsesTheResolvedName) {
    InDirectory inside(dir.path());
    int32_t size = -1;
    EXPECT_EQ(platform_file_size("LOGS/INNER.LOG", &size), 0);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(platform_same_file("nifty.log", "NIFTY.LOG"), 1);
    EXPECT_EQ(platform_same_file("dup.log", "DUP.LOG"), 0);
    EXPECT_EQ(platform_same_file("nifty.log", "missing"), -1);

    // Writing under an existing name reuses its entry; a new name keeps its case.
    PlatformFile* file = platform_open_write("LOGS/INNER.LOG");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform_write(file, "new", 3), 0);
    EXPECT_EQ(platform_close(file), 0);
    EXPECT_EQ(read_file(dir.file("Logs/inner.log")), "new");
    file = platform_open_write("LOGS/OUT.LOG");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform_close(file), 0);
    EXPECT_TRUE(file_exists(dir.file("Logs/OUT.LOG")));

    EXPECT_EQ(platform_remove("NIFTY.LOG"), 0);
    EXPECT_FALSE(file_exists(dir.file("nifty.log")));
    errno = 0;
    EXPECT_EQ(platform_remove("Dup.Log"), -1);
    EXPECT_EQ(errno, AMBIGUOUS_NAME_ERROR);
}

// --- The held log and its replace (the shared contract: platform_replace_test) ---------

// A program that holds a record lock on the log: the log is busy. Another
// reader, even one holding a flock, or a second check is none of its
// business. A writer that opens it after it was opened is seen (where the
// kernel grants a lease). (Writers before the hold: platform_replace_test.)
TEST(HoldLog, WritersAreSeen) {
    TempDir dir;
    const std::string path = dir.file("forum.log");
    write_file(path, "log");
    {
        HeldLog first(path.c_str());
        ASSERT_EQ(first.result, 0);
        int reader = open(path.c_str(), O_RDONLY);
        ASSERT_EQ(flock(reader, LOCK_EX | LOCK_NB), 0);
        HeldLog second(path.c_str());
        EXPECT_EQ(second.result, 0);
        close(reader);
    }
    {
        int locker = open(path.c_str(), O_RDWR);
        struct flock range = {};
        range.l_type = F_WRLCK;
        ASSERT_EQ(fcntl(locker, F_SETLK, &range), 0);
        pid_t child = fork();
        if (child == 0) {
            // Record locks of one's own process never conflict: ask from another.
            PlatformFile* file = nullptr;
            _exit(platform_open_log(path.c_str(), &file) == PLATFORM_BUSY ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        close(locker);
    }
    HeldLog log(path.c_str());
    ASSERT_EQ(log.result, 0);
    EXPECT_EQ(platform_log_undisturbed(log.file), 0);
    errno = 0;
    int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) {
        close(writer);
        GTEST_SKIP() << "no lease granted here";
    }
    EXPECT_EQ(errno, EWOULDBLOCK);
    EXPECT_EQ(platform_log_undisturbed(log.file), -1);
}

// A program that shortens the log under a view, once the lease is given back,
// costs the run its copy, never the process: the view reads as zeros and the
// log no longer counts as undisturbed.
TEST(HoldLog, ALogShortenedUnderAViewIsSeen) {
    TempDir dir;
    const std::string path = dir.file("forum.log");
    const size_t length = 3 * PLATFORM_VIEW_ALIGNMENT;
    write_file(path, std::string(length, 'x'));
    HeldLog log(path.c_str());
    ASSERT_EQ(log.result, 0);
    PlatformView view;
    if (platform_map_view(log.file, 0, length, &view) != 0) {
        GTEST_SKIP() << "no lease granted here";
    }
    ASSERT_EQ(view.length, length);
    EXPECT_EQ(view.bytes[length - 1], 'x');
    // The first open starts the break; the handler gives the lease back.
    int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    while (writer < 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
        writer = open(path.c_str(), O_WRONLY);
    }
    ASSERT_GE(writer, 0);
    ASSERT_EQ(ftruncate(writer, 0), 0);
    close(writer);
    const volatile char* bytes = view.bytes;
    EXPECT_EQ(bytes[length - 1], '\0');
    EXPECT_FALSE(platform_views_intact());
    EXPECT_EQ(platform_log_undisturbed(log.file), -1);
    platform_unmap_view(&view);
}

// A view let go is kept for the next one of the same place, which must
// still show its own file: never one closed meanwhile, whose descriptor a
// log held next may have been given.
TEST(HoldLog, AViewKeptForReuseShowsOnlyItsOwnFile) {
    TempDir dir;
    const size_t length = 2 * PLATFORM_VIEW_ALIGNMENT;
    for (const char letter : {'a', 'b'}) {
        const std::string path = dir.file(std::string(1, letter) + ".log");
        write_file(path, std::string(length, letter));
        HeldLog log(path.c_str());
        ASSERT_EQ(log.result, 0);
        for (int time = 0; time < 2; ++time) {
            PlatformView view;
            if (platform_map_view(log.file, 0, length, &view, time == 1) != 0) {
                GTEST_SKIP() << "no lease granted here";
            }
            ASSERT_EQ(view.length, length);
            EXPECT_EQ(view.bytes[0], letter);
            EXPECT_EQ(view.bytes[length - 1], letter);
            platform_unmap_view(&view);
        }
    }
}

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

// A second run of the same log is busy while the first holds its side
// file; a reader's flock on the log or its folder stops nothing.
TEST(ReplaceLog, OnlyRunsOfTheLogExcludeEachOther) {
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
        _exit(hold_log("forum.log", "FORUM.LOG", &second, &other) == PLATFORM_BUSY ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char side_left[NAME_BUFFER_SIZE];
    EXPECT_EQ(release_hold(first, side_left), 0);
    close(reader);
    close(folder);
}

// Another log's run (forum.txt, same side names) swaps its side file in as
// its log while this run looks at the side name: its record is gone by then,
// but the name leads elsewhere, so the file is no live run of this log.
void swap_side_file_in() {
    EXPECT_EQ(std::rename("FORUM.$$$", "forum.txt"), 0);
}

TEST(ReplaceLog, ASideFileSwappedInWhileLookedAtIsNoRunOfThisLog) {
    TempDir dir;
    InDirectory inside(dir.path());
    write_file("forum.log", OLD_LOG);
    const int other_run = open("FORUM.$$$", O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(other_run, 0);
    ASSERT_EQ(flock(other_run, LOCK_EX | LOCK_NB), 0);
    LogHold* hold = nullptr;
    HoldReport report = {};
    long looked_again = 0;
    {
        // Still named so and without a record: a run of this log that has
        // not written its record yet.
        const ScopedFault counting;
        EXPECT_EQ(hold_log("forum.log", "FORUM.LOG", &hold, &report), PLATFORM_BUSY);
        looked_again = counting.operations(OP_STATUS);
    }
    const ScopedFault swap(OP_STATUS, looked_again, swap_side_file_in);
    ASSERT_EQ(hold_log("forum.log", "FORUM.LOG", &hold, &report), 0) << std::strerror(errno);
    EXPECT_STREQ(held_side_name(hold), "FORUM.$$$");
    char side_left[NAME_BUFFER_SIZE];
    EXPECT_EQ(release_hold(hold, side_left), 0);
    close(other_run);
    EXPECT_EQ(snapshot_tree(dir.path()),
              (std::map<std::string, std::string>{{"forum.log", OLD_LOG}, {"forum.txt", ""}}));
}

// The new log gets the log's owner, group, mode and nothing of the folder's
// default access list; an immutable log is refused with nothing changed.
TEST(ReplaceLog, ExactPermissionsAndImmutableLogs) {
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

// --- Sizes and free space ----------------------------------------------------------

// (Regular files, folders and sizes of 2 GiB or more: platform_files_test.)
TEST(FileSize, FifosAndDevicesHaveNone) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir.file("fifo"), std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        int32_t size = -7;
        errno = 0;
        EXPECT_EQ(platform_file_size(path.c_str(), &size), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(size, -7);
    }
}

TEST(DiskFreeBytes, MeasuresTheDirectoryOfThePath) {
    TempDir dir;
    fs::create_directory(dir.file("Logs"));
    struct statvfs volume;
    ASSERT_EQ(statvfs(dir.path().c_str(), &volume), 0);
    const uint64_t expected = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    const uint64_t slack = 64ull << 20;  // others may write meanwhile
    for (std::string path : {dir.file("LOGS/X.LOG"), upper(dir.file("x.log")), dir.file("x")}) {
        SCOPED_TRACE(path);
        uint64_t free_bytes = 0;
        EXPECT_EQ(get_disk_free_bytes(nullptr, path.c_str(), &free_bytes), 1);
        EXPECT_LE(free_bytes, expected + slack);
        EXPECT_GE(free_bytes + slack, expected);
    }
    InDirectory inside(dir.path());
    uint64_t free_bytes = 0;
    EXPECT_EQ(get_disk_free_bytes(nullptr, "x.log", &free_bytes), 1);
    EXPECT_EQ(get_disk_free_bytes(nullptr, nullptr, &free_bytes), 1);
    EXPECT_EQ(get_disk_free_bytes(nullptr, "/x.log", &free_bytes), 1);
}

// (Roots that name no drive: platform_files_test.)
TEST(DiskFreeBytes, AMissingFolderFailsAndLeavesTheCountAlone) {
    TempDir dir;
    uint64_t free_bytes = 42;
    EXPECT_EQ(get_disk_free_bytes(nullptr, dir.file("missing/x.log").c_str(), &free_bytes), 0);
    EXPECT_EQ(free_bytes, 42u);
}

}  // namespace

#endif  // _WIN32
