// The contract of platform.h's file services, one set of cases run on both
// platforms: sizes, names that ignore letter case, and a free-space query of
// a drive that is not there. (POSIX-only cases: platform_posix_test;
// Windows-only ones: platform_win32_test.)
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

// Only a regular file has a size; a failure leaves the size alone.
TEST(FileSize, OnlyRegularFilesHaveOne) {
    TempDir dir;
    write_file(dir.file("log"), "12345");
    fs::create_directory(dir.file("dir"));
    const struct {
        std::string path;
        int error;
    } cases[] = {{dir.file("LOG"), 0}, {dir.file("dir"), EISDIR}, {dir.file("missing"), ENOENT}};
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

// 2 GiB or more arrives as a negative size rather than as a failure; past
// 4 GiB the sign stays, where the low 32 bits alone would look small.
TEST(FileSize, HugeFilesArriveNegative) {
    TempDir dir;
    const struct {
        uintmax_t length;
        int32_t size;
    } cases[] = {
        {0x7FFFFFFF, INT32_MAX},
        {0x80000000, INT32_MIN},
        {(uintmax_t{3} << 30) + 5, static_cast<int32_t>(0xC0000005u)},
        {(uintmax_t{4} << 30) + 5, static_cast<int32_t>(0x80000005u)},
    };
    for (const auto& c : cases) {
        write_file(dir.file("big.log"), "");
        std::error_code error;
        fs::resize_file(dir.file("big.log"), c.length, error);
        if (error) {
            GTEST_SKIP() << "no sparse file of " << c.length << " bytes: " << error.message();
        }
        int32_t size = 0;
        EXPECT_EQ(platform_file_size(dir.file("big.log").c_str(), &size), 0) << c.length;
        EXPECT_EQ(size, c.size) << c.length;
    }
}

// Every operation finds a file under any spelling of its name, which keeps
// the spelling it was made with; another file stays another.
TEST(FileNames, IgnoreLetterCaseAndKeepTheirOwn) {
    TempDir dir;
    const std::string bytes = "#1 line\r\nbody\n\x1a tail";  // CR LF, LF and ^Z kept as bytes
    write_file(dir.file("abc.log"), bytes);
    write_file(dir.file("other.log"), bytes);
    const std::string lower = dir.file("abc.log");
    const std::string upper = dir.file("ABC.LOG");

    int32_t size = -1;
    ASSERT_EQ(platform_file_size(upper.c_str(), &size), 0);
    EXPECT_EQ(size, static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(platform_same_file(lower.c_str(), upper.c_str()), 1);
    EXPECT_EQ(platform_same_file(upper.c_str(), dir.file("OTHER.LOG").c_str()), 0);
    errno = 0;
    EXPECT_EQ(platform_same_file(lower.c_str(), dir.file("missing.log").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);

    PlatformFile* file = platform_open_read(upper.c_str());
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

    file = platform_open_write(upper.c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform_write(file, "new", 3), 0);
    EXPECT_EQ(platform_close(file), 0);
    EXPECT_EQ(read_file(lower), "new");
    EXPECT_EQ(list_directory(dir.path()), (std::vector<std::string>{"abc.log", "other.log"}));
    EXPECT_EQ(platform_remove(upper.c_str()), 0);
    EXPECT_EQ(list_directory(dir.path()), std::vector<std::string>{"other.log"});
}

// Q: names no drive under Wine nor on a usual Windows machine, and no drive
// letter names anything on POSIX: the query fails and writes no count.
TEST(DiskFreeBytes, RootsOfNoDriveFailAndLeaveTheCountAlone) {
    for (const char* root : {"Q:\\", "?:\\"}) {
        SCOPED_TRACE(root);
        uint64_t free_bytes = 42;
        EXPECT_EQ(get_disk_free_bytes(root, "x.log", &free_bytes), 0);
        EXPECT_EQ(free_bytes, 42u);
    }
}

}  // namespace

// Working memory is handed out in aligned, separate blocks while it lasts;
// past that (or where none could be reserved) the caller gets null and
// takes the heap.
TEST(WorkingMemory, HandsOutSeparateAlignedBlocksWhileItLasts) {
    platform_reserve_working_memory();
    void* first = platform_working_memory(100);
    if (first == nullptr) {
        GTEST_SKIP() << "no large page can be had here";
    }
    platform_reserve_working_memory();  // once a run: the block stays
    void* second = platform_working_memory(64);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % 64, 0u);
    EXPECT_GE(static_cast<char*>(second), static_cast<char*>(first) + 100);
    EXPECT_EQ(platform_working_memory(SIZE_MAX), nullptr);
    EXPECT_EQ(platform_working_memory(PLATFORM_WORKING_MEMORY), nullptr);
    std::vector<char> heap(100);
    EXPECT_TRUE(platform_is_working_memory(second));
    EXPECT_FALSE(platform_is_working_memory(heap.data()));
    EXPECT_FALSE(platform_is_working_memory(nullptr));
    // Every byte is the caller's to use, up to the last.
    void* rest = platform_working_memory(PLATFORM_WORKING_MEMORY - 192);
    ASSERT_NE(rest, nullptr);
    std::memset(rest, 1, PLATFORM_WORKING_MEMORY - 192);
    EXPECT_EQ(platform_working_memory(1), nullptr);
}
