// Whether the drive of a log has room for a second copy of it: the sorted
// log is written beside the log, so both exist at once.
#include "support/free_space.h"

#include <cstdio>

#include "platform/platform.h"
#include "support/messages.h"

uint64_t last_free_bytes = 0;

uint64_t free_disk_space(int drive, const char* path) {
    char root_buffer[4] = "?:\\";
    const char* root = nullptr;
    if (drive != 0) {
        // Any number makes a root; one that names no drive makes the query fail.
        root_buffer[0] =
            static_cast<char>(static_cast<unsigned char>(static_cast<unsigned>(drive) + 64u));
        root = root_buffer;
    }
    if (get_disk_free_bytes(root, path, &last_free_bytes) == 1) {
        return last_free_bytes;
    }
    return FREE_SPACE_ERROR;
}

// "c:..." is drive 3; no range check, so '@' and '`' give 0, the current drive.
static int drive_of(const char* path) {
    if (path == nullptr || path[0] == '\0' || path[1] != ':') {
        return 0;
    }
    return (static_cast<unsigned char>(path[0]) & 0xDF) - 64;
}

int has_room_for(int32_t size, const char* path) {
    uint64_t free_bytes = free_disk_space(drive_of(path), path);
    if (free_bytes == FREE_SPACE_ERROR) {
        print_message<MSG_DRIVE_NOT_READY>();
        return DRIVE_ERROR;
    }
    // A negative size (2 GiB or more) widens to near 2^64 and never fits.
    uint64_t wanted = static_cast<uint64_t>(static_cast<int64_t>(size));
    return wanted <= free_bytes ? HAS_ROOM : NO_ROOM;
}
