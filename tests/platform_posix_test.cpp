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
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_names.h"
#include "support/failing_runs.h"
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

    PlatformFile* file = platform_open_read("NIFTY.LOG");
    ASSERT_NE(file, nullptr);
    char line[8];
    EXPECT_EQ(platform_read_line(file, line, sizeof line), 1);
    EXPECT_STREQ(line, "n");
    EXPECT_EQ(platform_close(file), 0);

    // Writing under an existing name reuses its entry; a new name keeps its case.
    file = platform_open_write("LOGS/INNER.LOG");
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

// --- The held log and its replace ----------------------------------------------------

// Holds the log as a run does; closes it at the end.
struct HeldLog {
    explicit HeldLog(const char* path) { result = platform_open_log(path, &file); }
    ~HeldLog() {
        if (file != nullptr) platform_close(file);
    }
    PlatformFile* file = nullptr;
    int result = -1;
};

// A program that has the log open for writing, or one that holds a record
// lock on it: the log is busy. Another reader, even one holding a flock, is
// none of its business. A writer that opens it
// after it was opened is seen (where the kernel grants a lease).
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
        int writer = open(path.c_str(), O_WRONLY | O_APPEND);
        HeldLog log(path.c_str());
        EXPECT_EQ(log.result, -2);
        close(writer);
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
            _exit(platform_open_log(path.c_str(), &file) == -2 ? 0 : 1);
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

// --- Sizes and free space ----------------------------------------------------------

TEST(FileSize, OnlyRegularFilesHaveOne) {
    TempDir dir;
    write_file(dir.file("log"), "12345");
    fs::create_directory(dir.file("dir"));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const struct {
        std::string path;
        int error;
    } cases[] = {
        {dir.file("LOG"), 0},  {dir.file("dir"), EISDIR},     {dir.file("fifo"), EINVAL},
        {"/dev/null", EINVAL}, {dir.file("missing"), ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        int32_t size = -7;
        errno = 0;
        EXPECT_EQ(platform_file_size(c.path.c_str(), &size), c.error == 0 ? 0 : -1);
        if (c.error != 0) {
            EXPECT_EQ(errno, c.error);
        }
        EXPECT_EQ(size, c.error == 0 ? 5 : -7);
    }
}

// Windows reports 2 GiB or more as negative; past 4 GiB the sign must stay.
TEST(FileSize, HugeFilesArriveNegative) {
    TempDir dir;
    const struct {
        int64_t length;
        int32_t size;
    } cases[] = {
        {INT64_C(0x7FFFFFFF), INT32_MAX},
        {INT64_C(0x80000000), INT32_MIN},
        {INT64_C(0x100000005), static_cast<int32_t>(0x80000005u)},
    };
    for (const auto& c : cases) {
        int fd = open(dir.file("big").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        bool sparse = ftruncate(fd, c.length) == 0;
        close(fd);
        if (!sparse) {
            GTEST_SKIP() << "no sparse files here";
        }
        int32_t size = 0;
        EXPECT_EQ(platform_file_size(dir.file("big").c_str(), &size), 0);
        EXPECT_EQ(size, c.size) << c.length;
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

TEST(DiskFreeBytes, FailuresLeaveTheCountAlone) {
    TempDir dir;
    for (const char* root : {"C:\\", "?:\\"}) {
        uint64_t free_bytes = 42;
        EXPECT_EQ(get_disk_free_bytes(root, "x.log", &free_bytes), 0);
        EXPECT_EQ(free_bytes, 42u);
    }
    uint64_t free_bytes = 42;
    EXPECT_EQ(get_disk_free_bytes(nullptr, dir.file("missing/x.log").c_str(), &free_bytes), 0);
    EXPECT_EQ(free_bytes, 42u);
}

}  // namespace

#endif  // _WIN32
