// The drive of a path, the free-space query and the size comparison.
#include "support/free_space.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/test_files.h"

namespace {

// A simulated volume: records the root asked for and answers as told.
struct SimulatedVolume {
    int result = 1;
    uint64_t free_bytes = 0;
    int calls = 0;
    std::optional<std::string> root;  // empty for a null root
};
SimulatedVolume volume;

int simulated_query(const char* root, const char* path, uint64_t* free_bytes) {
    (void)path;
    ++volume.calls;
    volume.root = root != nullptr ? std::optional<std::string>(root) : std::nullopt;
    if (volume.result != 0) {
        *free_bytes = volume.free_bytes;
    }
    return volume.result;
}

class FreeSpace : public testing::Test {
  protected:
    void SetUp() override { volume = SimulatedVolume(); }
    const ScopedFault simulated_{simulated_query};
};

TEST_F(FreeSpace, DriveLetterPicksTheRoot) {
    const struct {
        const char* path;
        std::optional<std::string> root;
    } cases[] = {
        {"c:\\log.txt", "C:\\"},
        {"C:log.txt", "C:\\"},
        {"a:", "A:\\"},
        {"z:\\x", "Z:\\"},
        {"@:x", std::nullopt},  // 0x40 masks to drive 0
        {"`:x", std::nullopt},  // so does 0x60
        {"1:x", "\x11:\\"},     // a root that names no drive
        {"[:x", "[:\\"},
        {"\xe0:x", std::string("\xc0:\\")},
        {"log.txt", std::nullopt},
        {"\\dir\\log.txt", std::nullopt},
        {"\\\\server\\share\\log", std::nullopt},
        {"c", std::nullopt},
        {"", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path != nullptr ? printable(c.path) : "null");
        volume.calls = 0;
        EXPECT_EQ(has_room_for(0, c.path), HAS_ROOM);
        EXPECT_EQ(volume.calls, 1);
        EXPECT_EQ(volume.root, c.root);
    }
}

TEST_F(FreeSpace, DriveNumberWrapsIntoOneByte) {
    free_disk_space(3, nullptr);
    EXPECT_EQ(volume.root, "C:\\");
    free_disk_space(-64 + 256 + 1, nullptr);  // (193 + 64) mod 256 = 1
    EXPECT_EQ(volume.root, std::string("\x01:\\"));
    free_disk_space(0, nullptr);
    EXPECT_EQ(volume.root, std::nullopt);
}

TEST_F(FreeSpace, SizeAgainstFreeBytes) {
    const struct {
        uint64_t free_bytes;
        int32_t size;
        int expected;
    } cases[] = {
        {1000, 0, HAS_ROOM},
        {1000, 999, HAS_ROOM},
        {1000, 1000, HAS_ROOM},
        {1000, 1001, NO_ROOM},
        {0, 0, HAS_ROOM},
        {0, 1, NO_ROOM},
        {1000, -1, NO_ROOM},
        {~0ull - 1, -1, NO_ROOM},
        {1ull << 62, INT32_MIN, NO_ROOM},
        {1ull << 40, INT32_MAX, HAS_ROOM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " in " + std::to_string(c.free_bytes));
        volume.free_bytes = c.free_bytes;
        testing::internal::CaptureStderr();
        EXPECT_EQ(has_room_for(c.size, "log.txt"), c.expected);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // NO_ROOM is silent
        EXPECT_EQ(last_free_bytes, c.free_bytes);
    }
}

// Only a result of exactly 1 counts as success; a failure keeps the count of
// the previous query.
TEST_F(FreeSpace, FailedQueryIsDriveNotReady) {
    volume.free_bytes = 5000;
    EXPECT_EQ(free_disk_space(0, nullptr), 5000u);
    for (int result : {0, 2, -1}) {
        volume.result = result;
        volume.free_bytes = 7;
        EXPECT_EQ(free_disk_space(0, nullptr), FREE_SPACE_ERROR);
        testing::internal::CaptureStderr();
        EXPECT_EQ(has_room_for(0, "log.txt"), DRIVE_ERROR);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Drive Not Ready!\n");
        if (result == 0) {
            EXPECT_EQ(last_free_bytes, 5000u);
        }
    }
}

// The real query: drive letters name nothing on POSIX.
TEST(FreeSpaceOnThisSystem, DriveLettersAreNotReady) {
    TempDir dir;
    std::string log = dir.file("log.txt");
    EXPECT_EQ(has_room_for(0, log.c_str()), HAS_ROOM);
    EXPECT_EQ(has_room_for(-1, log.c_str()), NO_ROOM);
    EXPECT_NE(last_free_bytes, 0u);
#ifndef _WIN32
    testing::internal::CaptureStderr();
    EXPECT_EQ(has_room_for(0, "c:\\log.txt"), DRIVE_ERROR);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Drive Not Ready!\n");
#endif
}

}  // namespace
