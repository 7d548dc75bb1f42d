// The Windows file-system semantics on POSIX: names that ignore letter case,
// a rename that never replaces, sizes and free space.
#ifndef _WIN32
#include "platform/platform_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
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
        {"\x83\x41Z.LOG", "error:ENOENT", "\x83\x41Z.LOG"},
        {"", "error:ENOENT", "error:ENOENT"},
    };
    InDirectory inside(dir.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(printable(c.path));
        EXPECT_EQ(resolve(c.path, false), c.existing);
        EXPECT_EQ(resolve(c.path, true), c.created);
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
    EXPECT_EQ(platform_file_exists("NIFTY.LOG"), 1);
    EXPECT_EQ(platform_file_exists("Dup.Log"), 0);
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

// --- Rename ----------------------------------------------------------------------

// The ways of renaming without replacing, all there and then taken away in
// turn: a kernel without renameat2, a file system without hard links as well,
// and source and target on different file systems, where every rename
// attempt gives EXDEV.
struct RenameFallback {
    int no_replace_error;  // of renameat2, from then on; 0 for none
    int link_error;        // of link, from then on; 0 for none
};

class RenameModes : public testing::TestWithParam<RenameFallback> {
  protected:
    ScopedFault no_replace_{OP_NO_REPLACE_RENAME, 1, GetParam().no_replace_error, FROM_THEN_ON};
    ScopedFault link_{OP_LINK, 1, GetParam().link_error, FROM_THEN_ON};
    TempDir dir;
};

TEST_P(RenameModes, MovesTheFile) {
    write_file(dir.file("log.txt"), "content");
    InDirectory inside(dir.path());
    ASSERT_EQ(platform_rename("LOG.TXT", "LOG.BAK"), 0) << std::strerror(errno);
    EXPECT_EQ(list_directory(dir.path()), std::vector<std::string>{"LOG.BAK"});
    EXPECT_EQ(read_file(dir.file("LOG.BAK")), "content");
}

TEST_P(RenameModes, NeverReplacesTheTarget) {
    write_file(dir.file("log.txt"), "log");
    write_file(dir.file("log.bak"), "old");
    InDirectory inside(dir.path());
    for (const char* target : {"log.bak", "LOG.BAK"}) {
        errno = 0;
        EXPECT_EQ(platform_rename("log.txt", target), -1) << target;
        EXPECT_EQ(errno, EEXIST) << target;
    }
    EXPECT_EQ(read_file(dir.file("log.txt")), "log");
    EXPECT_EQ(read_file(dir.file("log.bak")), "old");
}

TEST_P(RenameModes, MissingSourceCreatesNothing) {
    InDirectory inside(dir.path());
    errno = 0;
    EXPECT_EQ(platform_rename("missing.txt", "new.txt"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(list_directory(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(AllFallbacks, RenameModes,
                         testing::Values(RenameFallback{0, 0}, RenameFallback{ENOSYS, 0},
                                         RenameFallback{ENOSYS, EPERM}, RenameFallback{EXDEV, 0}));

TEST(CrossDeviceRename, CopyKeepsBytesModeAndTime) {
    TempDir dir;
    std::string content(200000, 'x');
    content[12345] = '\0';
    write_file(dir.file("src"), content);
    ASSERT_EQ(chmod(dir.file("src").c_str(), 0640), 0);
    const struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.file("src").c_str(), old_times, 0), 0);
    ScopedFault cross_device(OP_NO_REPLACE_RENAME, 1, EXDEV, FROM_THEN_ON);
    ASSERT_EQ(platform_rename(dir.file("src").c_str(), dir.file("dst").c_str()), 0);
    EXPECT_FALSE(file_exists(dir.file("src")));
    EXPECT_EQ(read_file(dir.file("dst")), content);
    struct stat status;
    ASSERT_EQ(stat(dir.file("dst").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(status.st_mtim.tv_sec, 1000000000);
}

// Every step of the copy failing in turn: the source always survives whole and
// no partial target is left.
TEST(CrossDeviceRename, AnyFailureKeepsTheSource) {
    TempDir dir;
    std::string content(150000, 'y');
    int rename_errno = 0;
    ScopedFault cross_device(OP_NO_REPLACE_RENAME, 1, EXDEV, FROM_THEN_ON);
    auto job = [&] {
        write_file(dir.file("src"), content);
        int result = platform_rename(dir.file("src").c_str(), dir.file("dst").c_str());
        rename_errno = errno;
        return result;
    };
    long runs = sweep_failures(EIO, job, [&](long n, const FailedRun& run) {
        if (run.result == 0) {
            EXPECT_LT(run.operations, n);
            EXPECT_EQ(read_file(dir.file("dst")), content);
            return;
        }
        EXPECT_EQ(rename_errno, EIO);
        EXPECT_EQ(list_directory(dir.path()), std::vector<std::string>{"src"});
        EXPECT_EQ(read_file(dir.file("src")), content);
    });
    // The rename, three chunk writes and the sync.
    EXPECT_EQ(runs, 6);
}

TEST(CrossDeviceRename, BetweenRealFileSystems) {
    struct stat shm, tmp;
    TempDir dir;
    if (stat("/dev/shm", &shm) != 0 || stat(dir.path().c_str(), &tmp) != 0 ||
        shm.st_dev == tmp.st_dev || access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second file system";
    }
    std::string source = "/dev/shm/zembra-rename-" + std::to_string(getpid());
    write_file(source, "moved");
    EXPECT_EQ(platform_rename(source.c_str(), dir.file("moved").c_str()), 0);
    EXPECT_FALSE(file_exists(source));
    EXPECT_EQ(read_file(dir.file("moved")), "moved");

    write_file(source, "stays");
    errno = 0;
    EXPECT_EQ(platform_rename(source.c_str(), dir.file("moved").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(source), "stays");
    EXPECT_EQ(read_file(dir.file("moved")), "moved");
    unlink(source.c_str());
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
