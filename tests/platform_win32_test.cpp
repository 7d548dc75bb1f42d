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
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_win32.h"
#include "support/failing_runs.h"
#include "support/free_space.h"
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
    EXPECT_EQ(room_for(-1, "Z:\\x.log", &err), NO_ROOM);  // a file of 2 GiB or more
}

TEST(DriveLetters, FailedQueryIsFinalAndLeavesTheCountUntouched) {
    for (bool fallback : {false, true}) {
        const ScopedFault no_extended_query(OP_FREE_SPACE_EX, fallback ? 1 : 0, ENOSYS,
                                            FROM_THEN_ON);
        uint64_t free_bytes = 12345;
        EXPECT_EQ(get_disk_free_bytes(UNMAPPED_ROOT, nullptr, &free_bytes), 0) << fallback;
        EXPECT_EQ(free_bytes, 12345u) << fallback;
    }
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

TEST_F(Win32Files, NamesIgnoreLetterCase) {
    const std::string bytes = "#1 line\r\nbody\n\x1a tail";  // CR LF, LF and ^Z kept as bytes
    ASSERT_TRUE(write_with_platform(at("abc.log"), bytes));

    int32_t size = -1;
    ASSERT_EQ(platform_file_size(at("ABC.LOG").c_str(), &size), 0);
    EXPECT_EQ(size, static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(platform_same_file(at("abc.log").c_str(), at("ABC.LOG").c_str()), 1);

    PlatformFile* file = platform_open_read(at("ABC.LOG").c_str());
    ASSERT_NE(file, nullptr);
    char line[64];
    std::string read;
    int length;
    while ((length = platform_read_line(file, line, sizeof line)) > 0) {
        read.append(line, static_cast<size_t>(length));
    }
    EXPECT_EQ(length, 0);
    EXPECT_EQ(platform_close(file), 0);
    EXPECT_EQ(read, bytes);
    EXPECT_EQ(list_directory(dir_.path()), std::vector<std::string>{"abc.log"});
}

// The log job syncs a finished log through a read stream.
TEST_F(Win32Files, SyncWorksOnReadAndWriteStreams) {
    ASSERT_TRUE(write_with_platform(at("a.log"), "bytes"));
    PlatformFile* file = platform_open_read(at("a.log").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform_sync(file), 0) << std::strerror(errno);
    EXPECT_EQ(platform_close(file), 0);
}

TEST_F(Win32Files, SameFileTellsFilesApart) {
    write_file(at("a.log"), "a");
    write_file(at("b.log"), "a");
    EXPECT_EQ(platform_same_file(at("a.log").c_str(), at("b.log").c_str()), 0);
    EXPECT_EQ(platform_same_file(at("a.log").c_str(), at("missing.log").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Win32Files, StatusQueryRefusesDirectoriesAndTruncatesTo32Bits) {
    int32_t size = 7;
    fs::create_directory(at("dir"));
    EXPECT_EQ(platform_file_size(at("dir").c_str(), &size), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(platform_file_size(at("missing.log").c_str(), &size), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(size, 7);

    // A device: msvcrt finds no such file, newer runtimes a character device.
    EXPECT_EQ(platform_file_size("NUL", &size), -1);
    EXPECT_TRUE(errno == ENOENT || errno == EINVAL) << std::strerror(errno);

    // 2 GiB or more arrives as a negative size rather than as a failure; past
    // 4 GiB the sign stays, where the low 32 bits alone would look small.
    const struct {
        uint64_t length;
        int32_t size;
    } huge_cases[] = {
        {(uint64_t{3} << 30) + 5, static_cast<int32_t>(0xC0000005u)},
        {(uint64_t{4} << 30) + 5, static_cast<int32_t>(0x80000005u)},
    };
    for (const auto& test : huge_cases) {
        write_file(at("huge.log"), "");
        std::error_code error;
        fs::resize_file(at("huge.log"), test.length, error);
        if (error) {
            GTEST_SKIP() << "no sparse file of " << test.length << " bytes: " << error.message();
        }
        ASSERT_EQ(platform_file_size(at("huge.log").c_str(), &size), 0) << test.length;
        EXPECT_EQ(size, test.size) << test.length;
        std::string err;
        EXPECT_EQ(room_for(size, at("huge.log").c_str(), &err), NO_ROOM) << test.length;
    }
    fs::remove(at("huge.log"));
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

// Holds the log as a run does; closes it at the end.
struct HeldLog {
    explicit HeldLog(const char* path) { result = platform_open_log(path, &file); }
    ~HeldLog() {
        if (file != nullptr) platform_close(file);
    }
    PlatformFile* file = nullptr;
    int result = -1;
};

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;

DWORD kept_attributes(const char* path) {
    return GetFileAttributesA(path) & KEPT_ATTRIBUTES;
}

// How another program opens the log.
HANDLE open_from_elsewhere(const std::string& path, DWORD access, DWORD share = SHARE_ALL) {
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The old log becomes the backup, an older one replaced; the new log takes
// the log's name as the directory spells it, with a read-only or hidden
// log's attributes, and the log's stream still closes cleanly afterwards.
TEST(ReplaceLog, WithAndWithoutBackup) {
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
            ASSERT_EQ(platform_sync_named("FORUM.$$$"), 0);
            ASSERT_EQ(platform_replace_log(log.file, "FORUM.$$$", "FORUM.LOG",
                                           backup ? "FORUM.BAK" : nullptr, "FORUM.$01"),
                      0)
                << std::strerror(errno);
            EXPECT_EQ(platform_close(log.file), 0);
            log.file = nullptr;
            const std::map<std::string, std::string> expected = {
                {"forum.log", "new log"}, {"FORUM.BAK", backup ? "old log" : "old backup"}};
            EXPECT_EQ(snapshot_tree(dir.path()), expected);
            const DWORD kept = attributes & KEPT_ATTRIBUTES;
            EXPECT_EQ(kept_attributes("forum.log"), kept);
            EXPECT_EQ(kept_attributes("FORUM.BAK"), backup ? kept : 0);
            SetFileAttributesA("forum.log", FILE_ATTRIBUTE_NORMAL);
            SetFileAttributesA("FORUM.BAK", FILE_ATTRIBUTE_NORMAL);
        }
    }
}

// What stops the replace before anything changes: a log moved away and
// another file under its name since it was opened, an injected failure, and
// for the backup a program holding the old backup or the new log without
// sharing it for deletion.
TEST(ReplaceLog, RefusalsChangeNothing) {
    enum Refusal { LOG_REPLACED, RENAME_FAILS, BACKUP_HELD, NEW_LOG_HELD };
    const struct {
        const char* name;
        Refusal refusal;
        bool backup;
        int error;
    } cases[] = {
        {"log replaced", LOG_REPLACED, true, ESTALE},
        {"log replaced, -B", LOG_REPLACED, false, ESTALE},
        {"rename fails", RENAME_FAILS, true, EIO},
        {"rename fails, -B", RENAME_FAILS, false, EIO},
        {"backup held", BACKUP_HELD, true, EACCES},
        {"new log held", NEW_LOG_HELD, true, EACCES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        InDirectory inside(dir.path());
        write_file("forum.log", "old log");
        write_file("FORUM.BAK", "old backup");
        write_file("FORUM.$$$", "new log");
        HeldLog log("forum.log");
        ASSERT_EQ(log.result, 0);
        HANDLE other = INVALID_HANDLE_VALUE;
        if (c.refusal == LOG_REPLACED) {
            ASSERT_TRUE(MoveFileA("forum.log", "moved.log"));
            write_file("forum.log", "another log");
        } else if (c.refusal != RENAME_FAILS) {
            other = open_from_elsewhere(c.refusal == BACKUP_HELD ? "FORUM.BAK" : "FORUM.$$$",
                                        GENERIC_READ, FILE_SHARE_READ);
            ASSERT_NE(other, INVALID_HANDLE_VALUE);
        }
        const auto before = snapshot_tree(dir.path());
        const ScopedFault rename_fails(OP_RENAME, c.refusal == RENAME_FAILS ? 1 : 0, EIO);
        errno = 0;
        EXPECT_EQ(platform_replace_log(log.file, "FORUM.$$$", "forum.log",
                                       c.backup ? "FORUM.BAK" : nullptr, "FORUM.$01"),
                  -1);
        EXPECT_EQ(errno, c.error) << std::strerror(errno);
        if (other != INVALID_HANDLE_VALUE) {
            CloseHandle(other);
        }
        EXPECT_EQ(snapshot_tree(dir.path()), before);
    }
}

// Another zembra run, or a program that has the log open for writing: the
// log is busy. While it is held no program opens it for writing; readers
// still may.
TEST(HoldLog, OtherRunsAndWritersAreKeptOut) {
    TempDir dir;
    const std::string path = dir.file("forum.log");
    write_file(path, "#1 line\n");
    {
        HeldLog first(path.c_str());
        ASSERT_EQ(first.result, 0) << std::strerror(errno);
        HeldLog second(path.c_str());
        EXPECT_EQ(second.result, -2);
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
    HANDLE writer = open_from_elsewhere(path, FILE_APPEND_DATA);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    {
        HeldLog log(path.c_str());
        EXPECT_EQ(log.result, -2);
        EXPECT_EQ(errno, EBUSY);
    }
    CloseHandle(writer);
    EXPECT_EQ(HeldLog(path.c_str()).result, 0);
    HeldLog missing(dir.file("missing.log").c_str());
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(errno, ENOENT);
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

// FORUM.LOG and FORUM.TXT share FORUM.BAK: sorted by two runs at once, each
// log ends up sorted under its name and the backup holds one of them whole.
TEST(ZembraExe, LogsSharingABackupNameLoseNothing) {
    // Small enough that a run's turn at the shared backup name stays far
    // below the 30 s another run waits for it, even under a loaded Wine.
    const std::string log = make_large_pcvan_log(300, 20);
    const std::string other = log + "other log\r\n";
    TempDir dir;
    write_file(dir.file("x.log"), log);
    write_file(dir.file("x.txt"), other);
    run_program(dir.path(), {"-PB", "x.log"});
    run_program(dir.path(), {"-PB", "x.txt"});
    const std::string sorted = read_file(dir.file("x.log"));
    const std::string other_sorted = read_file(dir.file("x.txt"));
    ASSERT_NE(sorted, log);
    for (int pair = 0; pair < 3; ++pair) {
        SCOPED_TRACE("pair " + std::to_string(pair));
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            fs::remove(entry.path());
        }
        write_file(dir.file("forum.log"), log);
        write_file(dir.file("forum.txt"), other);
        RunResult first;
        std::thread beside([&] { first = run_program(dir.path(), {"-P", "forum.log"}); });
        RunResult second = run_program(dir.path(), {"-P", "forum.txt"});
        beside.join();
        EXPECT_EQ(first.status, 0) << printable(first.err);
        EXPECT_EQ(second.status, 0) << printable(second.err);
        auto files = snapshot_tree(dir.path());
        ASSERT_EQ(files.size(), 3u);
        ASSERT_EQ(files["forum.log"], sorted);
        ASSERT_EQ(files["forum.txt"], other_sorted);
        ASSERT_TRUE(files["FORUM.BAK"] == log || files["FORUM.BAK"] == other);
    }
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
