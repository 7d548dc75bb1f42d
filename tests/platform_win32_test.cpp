// The Windows platform layer against the real Win32 file system: drive-letter
// roots, the free-space fall-back, case-insensitive names, the held log and
// its replace, and the console and command line of zembra.exe. POSIX builds
// compile this to an empty test program.
#include <gtest/gtest.h>

#ifdef _WIN32

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_win32.h"
#include "support/failing_runs.h"
#include "support/free_space.h"
#include "support/replace_runs.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

// Wine maps Z: to "/" and C: to its prefix; no other letter names a drive
// there, and Q: names none on a usual Windows machine either.
constexpr const char* UNMAPPED_ROOT = "Q:\\";

struct RoomCase {
    const char* path;
    int expected;
};

// Runs has_room_for and returns its result and what it wrote on stderr.
int room_for(int32_t size, const char* path, std::string* err) {
    testing::internal::CaptureStderr();
    int result = has_room_for(size, path);
    *err = testing::internal::GetCapturedStderr();
    return result;
}

TEST(DriveLetters, MappedDrivesHaveRoomUnmappedOnesAreNotReady) {
    const RoomCase cases[] = {
        {"Z:\\tmp\\x.log", HAS_ROOM}, {"z:\\tmp\\x.log", HAS_ROOM}, {"z:x.log", HAS_ROOM},
        {"C:\\x.log", HAS_ROOM},      {"c:x.log", HAS_ROOM},        {"x.log", HAS_ROOM},
        {"\\tmp\\x.log", HAS_ROOM},   {"@:x.log", HAS_ROOM},  // 0x40: the current drive
        {"Q:\\x.log", DRIVE_ERROR},   {"q:x.log", DRIVE_ERROR},     {"1:\\x.log", DRIVE_ERROR},
        {"[:\\x.log", DRIVE_ERROR},
    };
    for (const auto& test : cases) {
        std::string err;
        EXPECT_EQ(room_for(0, test.path, &err), test.expected) << test.path;
        EXPECT_EQ(err, test.expected == DRIVE_ERROR ? "Drive Not Ready!\n" : "") << test.path;
    }
    std::string err;
    EXPECT_EQ(room_for(0, nullptr, &err), HAS_ROOM);
}

// The fall-back's failure is final too. (The extended query's: platform_files_test.)
TEST(DriveLetters, FailedFallbackIsFinalAndLeavesTheCountUntouched) {
    const ScopedFault no_extended_query(OP_FREE_SPACE_EX, 1, ENOSYS, FROM_THEN_ON);
    uint64_t free_bytes = 12345;
    EXPECT_EQ(get_disk_free_bytes(UNMAPPED_ROOT, nullptr, &free_bytes), 0);
    EXPECT_EQ(free_bytes, 12345u);
}

TEST(FreeSpaceFallback, ClusterProductMatchesTheExtendedQuery) {
    for (const char* root :
         {static_cast<const char*>("Z:\\"), "C:\\", "z:\\", static_cast<const char*>(nullptr)}) {
        std::string label = root ? root : "(current drive)";
        uint64_t extended = 0;
        ASSERT_NE(get_disk_free_bytes(root, nullptr, &extended), 0) << label;

        const ScopedFault no_extended_query(OP_FREE_SPACE_EX, 1, ENOSYS, FROM_THEN_ON);
        uint64_t product = 0;
        ASSERT_NE(get_disk_free_bytes(root, nullptr, &product), 0) << label;

        EXPECT_GT(product, 0u) << label;
        // Other processes write meanwhile, and the fall-back reports all free
        // clusters rather than the caller's share: close, not equal. Beyond
        // 4 GiB free, a product taken in 32 bits would wrap far from it.
        uint64_t larger = product > extended ? product : extended;
        uint64_t smaller = product > extended ? extended : product;
        EXPECT_LE(larger - smaller, larger / 10 + (64u << 20)) << label;
    }
}

class Win32Files : public testing::Test {
  protected:
    std::string at(const char* name) const { return dir_.file(name); }
    TempDir dir_;
};

bool write_with_platform(const std::string& path, const std::string& bytes) {
    PlatformFile* file = platform_open_write(path.c_str());
    if (file == nullptr) {
        return false;
    }
    bool written =
        platform_write(file, bytes.data(), bytes.size()) == 0 && platform_sync(file) == 0;
    return platform_close(file) == 0 && written;
}

// The log job syncs a finished log through a read stream.
TEST_F(Win32Files, SyncWorksOnReadAndWriteStreams) {
    ASSERT_TRUE(write_with_platform(at("a.log"), "bytes"));
    PlatformFile* file = platform_open_read(at("a.log").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform_sync(file), 0) << std::strerror(errno);
    EXPECT_EQ(platform_close(file), 0);
}

// (Regular files, folders and sizes of 2 GiB or more: platform_files_test.)
TEST_F(Win32Files, DevicesHaveNoSize) {
    // msvcrt finds no such file, newer runtimes a character device.
    int32_t size = 7;
    EXPECT_EQ(platform_file_size("NUL", &size), -1);
    EXPECT_TRUE(errno == ENOENT || errno == EINVAL) << std::strerror(errno);
    EXPECT_EQ(size, 7);
}

TEST_F(Win32Files, OverlongNamesFailCleanly) {
    std::string name = at(std::string(300, 'x').c_str());
    errno = 0;
    EXPECT_EQ(platform_open_read(name.c_str()), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(platform_open_write(name.c_str()), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    int32_t size = 0;
    EXPECT_EQ(platform_file_size(name.c_str(), &size), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(platform_remove(name.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(Win32Files, EveryOperationHonoursInjectedFailures) {
    write_file(at("a.log"), "a");
    int32_t size = 0;
    uint64_t free_bytes = 99;
    struct Case {
        const char* name;
        bool failed;
    };
    // Each call fails when the first operation of its own kind is made to.
    std::optional<ScopedFault> fault;
    auto fail_first = [&](PlatformOperation kind, int error) {
        fault.reset();
        fault.emplace(kind, 1, error);
    };

    fail_first(OP_STATUS, ENOSPC);
    bool size_failed = platform_file_size(at("a.log").c_str(), &size) == -1 && errno == ENOSPC;
    fail_first(OP_REMOVE, EACCES);
    bool remove_failed = platform_remove(at("a.log").c_str()) == -1 && errno == EACCES;
    fail_first(OP_FREE_SPACE, EIO);
    bool free_failed = get_disk_free_bytes(nullptr, nullptr, &free_bytes) == 0 && errno == EIO;
    fail_first(OP_STATUS, EIO);
    bool same_failed = platform_same_file(at("a.log").c_str(), at("a.log").c_str()) == -1;
    fail_first(OP_SYNC, EIO);
    bool directory_failed = platform_sync_directory(at("a.log").c_str()) == -1 && errno == EIO;
    fail_first(OP_OPEN, ENOSPC);
    bool create_failed = platform_create_new(at("n.log").c_str()) == -1 && errno == ENOSPC;
    fault.reset();
    PlatformFile* file = platform_open_write(at("c.log").c_str());
    ASSERT_NE(file, nullptr);
    fail_first(OP_SYNC, EIO);
    bool sync_failed = platform_sync(file) == -1 && errno == EIO;
    fault.reset();
    EXPECT_EQ(platform_close(file), 0);

    const Case cases[] = {{"status", size_failed},      {"remove", remove_failed},
                          {"free space", free_failed},  {"same file", same_failed},
                          {"sync", sync_failed},        {"sync directory", directory_failed},
                          {"create new", create_failed}};
    for (const auto& test : cases) {
        EXPECT_TRUE(test.failed) << test.name;
    }
    EXPECT_EQ(free_bytes, 99u);
    EXPECT_EQ(read_file(at("a.log")), "a");
    EXPECT_FALSE(file_exists(at("b.log")));
    EXPECT_FALSE(file_exists(at("n.log")));
}

void set_read_only(const std::string& path, bool read_only) {
    SetFileAttributesA(path.c_str(), read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

// What the log job relies on: nothing under an existing name is ever
// overwritten by a creation, and identity follows the file rather than the
// name.
TEST_F(Win32Files, ExclusiveCreationAndIdentity) {
    write_file(at("a.log"), "a");
    write_file(at("ro.log"), "ro");
    set_read_only(at("ro.log"), true);
    fs::create_directory(at("dir"));
    for (const char* taken : {"a.log", "A.LOG", "ro.log", "dir"}) {
        errno = 0;
        EXPECT_EQ(platform_create_new(at(taken).c_str()), -1) << taken;
        EXPECT_EQ(errno, EEXIST) << taken << ": " << std::strerror(errno);
    }
    EXPECT_EQ(read_file(at("a.log")), "a");

    // Taken by the next open_write; nobody else opens it meanwhile.
    ASSERT_EQ(platform_create_new(at("new.log").c_str()), 0);
    EXPECT_EQ(platform_open_read(at("new.log").c_str()), nullptr);
    EXPECT_TRUE(write_with_platform(at("new.log"), "new"));
    EXPECT_EQ(read_file(at("new.log")), "new");
    ASSERT_EQ(platform_create_new(at("dropped.log").c_str()), 0);
    platform_drop_new();
    EXPECT_EQ(platform_remove(at("dropped.log").c_str()), 0);

    PlatformFile* file = platform_open_read(at("a.log").c_str());
    ASSERT_NE(file, nullptr);
    PlatformFileIdentity opened, renamed, replaced;
    ASSERT_EQ(platform_identify(file, &opened), 0);
    // A file being read can still be moved away or removed: the interrupt
    // handler removes a side file being synced.
    ASSERT_TRUE(MoveFileExA(at("a.log").c_str(), at("moved.log").c_str(), 0));
    EXPECT_EQ(platform_close(file), 0);
    ASSERT_EQ(platform_identify_named(at("MOVED.LOG").c_str(), &renamed), 0);
    EXPECT_EQ(renamed.device, opened.device);
    EXPECT_EQ(renamed.file_id, opened.file_id);
    EXPECT_EQ(renamed.modified, opened.modified);
    EXPECT_EQ(renamed.mode, opened.mode);
    EXPECT_EQ(renamed.size, 1);
    ASSERT_TRUE(
        MoveFileExA(at("new.log").c_str(), at("moved.log").c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_EQ(platform_identify_named(at("moved.log").c_str(), &replaced), 0);
    EXPECT_EQ(replaced.device, opened.device);
    EXPECT_NE(replaced.file_id, opened.file_id);
    EXPECT_EQ(platform_identify_named(at("a.log").c_str(), &replaced), -1);
    EXPECT_EQ(errno, ENOENT);
    set_read_only(at("ro.log"), false);
}

// --- The held log and its replace -----------------------------------------------

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;

DWORD kept_attributes(const char* path) {
    return GetFileAttributesA(path) & KEPT_ATTRIBUTES;
}

// How another program opens the log.
HANDLE open_from_elsewhere(const std::string& path, DWORD access, DWORD share = SHARE_ALL) {
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The new log takes the log's name as the directory spells it, with a
// read-only or hidden log's attributes, and so does the backup the old log
// becomes; the log's stream still closes cleanly afterwards. (What the
// folder holds after a replace or a refusal: platform_replace_test.)
TEST(ReplaceLog, ReadOnlyAndHiddenMarksAreKept) {
    for (DWORD attributes :
         {DWORD{FILE_ATTRIBUTE_ARCHIVE}, DWORD{FILE_ATTRIBUTE_READONLY}, KEPT_ATTRIBUTES}) {
        for (bool backup : {true, false}) {
            SCOPED_TRACE(std::to_string(attributes) + (backup ? " backup" : " no backup"));
            TempDir dir;
            InDirectory inside(dir.path());
            write_file("forum.log", "old log");
            write_file("FORUM.BAK", "old backup");
            write_file("FORUM.$$$", "new log");
            ASSERT_TRUE(SetFileAttributesA("forum.log", attributes));
            HeldLog log("FORUM.LOG");
            ASSERT_EQ(log.result, 0) << std::strerror(errno);
            ASSERT_EQ(platform_copy_attributes(log.file, "FORUM.$$$"), 0);
            ASSERT_EQ(platform_replace_log(log.file, "FORUM.$$$", "FORUM.LOG",
                                           backup ? "FORUM.BAK" : nullptr, "FORUM.$01"),
                      0)
                << std::strerror(errno);
            EXPECT_EQ(platform_close(log.file), 0);
            log.file = nullptr;
            EXPECT_EQ(list_directory(dir.path()),
                      (std::vector<std::string>{"FORUM.BAK", "forum.log"}));
            const DWORD kept = attributes & KEPT_ATTRIBUTES;
            EXPECT_EQ(kept_attributes("forum.log"), kept);
            EXPECT_EQ(kept_attributes("FORUM.BAK"), backup ? kept : 0);
            SetFileAttributesA("forum.log", FILE_ATTRIBUTE_NORMAL);
            SetFileAttributesA("FORUM.BAK", FILE_ATTRIBUTE_NORMAL);
        }
    }
}

// While a run holds the log, no program opens it for writing, and a second
// check of it is busy too; readers still may. (Writers before the hold,
// other runs and missing logs: platform_replace_test.)
TEST(HoldLog, WritersAreKeptOutWhileHeld) {
    TempDir dir;
    const std::string path = dir.file("forum.log");
    write_file(path, "#1 line\n");
    HeldLog first(path.c_str());
    ASSERT_EQ(first.result, 0) << std::strerror(errno);
    HeldLog second(path.c_str());
    EXPECT_EQ(second.result, PLATFORM_BUSY);
    for (DWORD access : {DWORD{GENERIC_WRITE}, DWORD{FILE_APPEND_DATA}}) {
        EXPECT_EQ(open_from_elsewhere(path, access), INVALID_HANDLE_VALUE) << access;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    HANDLE reader = open_from_elsewhere(path, GENERIC_READ);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    char line[32];
    EXPECT_EQ(platform_read_line(first.file, line, sizeof line), 8);
    EXPECT_EQ(platform_log_undisturbed(first.file), 0);
}

// --- Interrupts during a rewrite ----------------------------------------------

// Stops at a step of a rewrite of "a.log" in the directory it is given and
// waits for a console event: 1 writing the side file, 2 syncing it, 3 with
// the log replaced. scripts/test-windows.sh interrupts it: under Wine a
// SIGINT is the Ctrl-C event, which no console-less test can send.
TEST(InterruptGuardChild, WaitsAtAStep) {
    const char* directory = std::getenv("GUARD_TEST_DIRECTORY");
    const char* step_text = std::getenv("GUARD_TEST_STEP");
    if (directory == nullptr || step_text == nullptr) {
        GTEST_SKIP() << "run by scripts/test-windows.sh only";
    }
    const std::string log = std::string(directory) + "\\a.log";
    const std::string side = std::string(directory) + "\\a.$$$";
    const int step = std::atoi(step_text);
    HeldLog held(log.c_str());
    ASSERT_EQ(held.result, 0);
    platform_hold_interrupts();
    ASSERT_EQ(platform_create_new(side.c_str()), 0);
    ASSERT_EQ(platform_guard_side_file(side.c_str()), 0);
    platform_release_interrupts();
    PlatformFile* out = platform_open_write(side.c_str());
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(platform_write(out, "new", 3), 0);
    ASSERT_EQ(platform_flush(out), 0);
    PlatformFile* syncing = nullptr;
    if (step >= 2) {
        ASSERT_EQ(platform_close(out), 0);
        syncing = platform_open_read(side.c_str());
        ASSERT_NE(syncing, nullptr);
    }
    if (step == 3) {
        ASSERT_EQ(platform_close(syncing), 0);
        platform_hold_interrupts();
        const std::string backup = std::string(directory) + "\\a.bak";
        ASSERT_EQ(
            platform_replace_log(held.file, side.c_str(), log.c_str(), backup.c_str(), nullptr), 0);
        platform_guard_side_file(nullptr);
        platform_release_interrupts();
    }
    write_file(std::string(directory) + "\\ready", "");
    Sleep(20000);
    FAIL() << "no console event arrived";
}

// --- zembra.exe itself -------------------------------------------------------

// The harness undoes the console's CR LF; this runs the program through
// cmd.exe directly to see the bytes as they are.
struct RawRun {
    int status;
    std::string err;
};

RawRun run_raw(const std::string& directory, const std::string& args) {
    TempDir capture;
    std::string err_path = capture.file("stderr");
    std::string command = "\"cd /d \"" + directory + "\" && \"" + windows_path(ZEMBRA_BINARY) +
                          "\" " + args + " >NUL 2>\"" + err_path + "\"\"";
    std::fflush(nullptr);
    RawRun run;
    run.status = std::system(command.c_str());
    run.err = read_file(err_path);
    return run;
}

// The C runtime leaves patterns alone; the program expands them itself and
// refuses one that matches nothing.
TEST(ZembraExe, WildcardsAreExpandedByTheProgramAndLinesEndInCrLf) {
    TempDir dir;
    write_file(dir.file("a1.log"), "");
    write_file(dir.file("a2.log"), "");
    RawRun run = run_raw(dir.path(), "a*.log b?.log");
    EXPECT_EQ(run.status, 2);  // both arguments left unsorted
    EXPECT_EQ(run.err,
              "Reading: A1.LOG\r\nSkip!\r\n"
              "Reading: A2.LOG\r\nSkip!\r\n"
              "WildCard not Supported!: b?.log\r\n")
        << printable(run.err);
}

TEST(ZembraExe, UsageNamesTheExecutableAfterItsLastBackslash) {
    TempDir dir;
    RawRun run = run_raw(dir.path(), "");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("\r\nUsage : zembra.exe <-P|-N> [-B|/B] <File> [<File> ...]\r\n"),
              std::string::npos)
        << printable(run.err);
    for (size_t i = 0; i < run.err.size(); ++i) {
        if (run.err[i] == '\n') {
            ASSERT_TRUE(i > 0 && run.err[i - 1] == '\r') << "bare LF at " << i;
        }
    }
}

TEST(ZembraExe, SortsALogGivenWithADriveLetterPath) {
    TempDir dir;
    std::string original = read_file(std::string(ZEMBRA_SOURCE_DIR) + "/examples/pcvan.log");
    ASSERT_FALSE(original.empty());
    write_file(dir.file("pcvan.log"), original);
    std::string path = windows_path(dir.file("pcvan.log"));
    ASSERT_EQ(path[1], ':');

    RunResult run = run_program(dir.path(), {"-P", path});
    EXPECT_EQ(run.status, 0) << printable(run.err);
    EXPECT_NE(run.err.find("...Finish\n"), std::string::npos) << printable(run.err);
    EXPECT_EQ(list_directory(dir.path()), (std::vector<std::string>{"PCVAN.BAK", "pcvan.log"}));
    EXPECT_EQ(read_file(dir.file("PCVAN.BAK")), original);
    EXPECT_FALSE(read_file(dir.file("pcvan.log")).empty());
}

// A capture program that has the log open for writing: the log is left as
// it is, and the run says so.
TEST(ZembraExe, LogOpenForWritingIsBusy) {
    TempDir dir;
    const std::string original = read_file(std::string(ZEMBRA_SOURCE_DIR) + "/examples/pcvan.log");
    write_file(dir.file("pcvan.log"), original);
    HANDLE writer = open_from_elsewhere(dir.file("pcvan.log"), FILE_APPEND_DATA);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    RunResult run = run_program(dir.path(), {"-P", "pcvan.log"});
    CloseHandle(writer);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "Busy!: pcvan.log\n") << printable(run.err);
    EXPECT_EQ(snapshot_tree(dir.path()),
              (std::map<std::string, std::string>{{"pcvan.log", original}}));
}

}  // namespace

#endif  // _WIN32
