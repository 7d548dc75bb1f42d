#pragma once

#include <cstdint>

enum RoomResult {
    HAS_ROOM = 0,
    NO_ROOM = -1,
    DRIVE_ERROR = -2,
};

constexpr uint64_t FREE_SPACE_ERROR = ~uint64_t{0};

extern uint64_t last_free_bytes;

// Compares the file's size with the free bytes of the drive that holds it.
int has_room_for(int32_t size, const char* path);
// Free bytes of drive `drive` (0 = the current drive, 1-26 = A:-Z:); `path`
// is the file being checked, which locates "the current drive" on POSIX.
uint64_t free_disk_space(int drive, const char* path);
