// POSIX side of the platform layer (first cut: exact names only).
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/platform_names.h"

static int copy_name(const char* path, char* resolved, size_t size) {
    size_t length = std::strlen(path);
    if (length + 1 > size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(resolved, path, length + 1);
    return 0;
}

int resolve_existing_name(const char* path, char* resolved, size_t size) {
    return copy_name(path, resolved, size);
}

int resolve_new_name(const char* path, char* resolved, size_t size) {
    return copy_name(path, resolved, size);
}

int platform_sync(PlatformFile* file) {
    int error = platform_injected_failure(OP_SYNC);
    if (error != 0) {
        errno = error;
        return -1;
    }
    FILE* stream = platform_stream_of(file);
    if (std::fflush(stream) != 0 || fsync(fileno(stream)) != 0) {
        return -1;
    }
    return 0;
}

int platform_file_size(const char* path, int32_t* size) {
    int error = platform_injected_failure(OP_STATUS);
    if (error != 0) {
        errno = error;
        return -1;
    }
    struct stat status;
    if (stat(path, &status) != 0) {
        return -1;
    }
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    *size = static_cast<int32_t>(static_cast<uint32_t>(status.st_size));
    return 0;
}

int platform_file_exists(const char* path) {
    platform_injected_failure(OP_EXISTS);
    return access(path, F_OK) == 0 ? 1 : 0;
}

int platform_remove(const char* path) {
    int error = platform_injected_failure(OP_REMOVE);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return std::remove(path) == 0 ? 0 : -1;
}

int platform_rename(const char* from, const char* to) {
    int error = platform_injected_failure(OP_RENAME);
    if (error != 0) {
        errno = error;
        return -1;
    }
    if (access(to, F_OK) == 0) {
        errno = EEXIST;
        return -1;
    }
    return std::rename(from, to) == 0 ? 0 : -1;
}

int platform_same_file(const char* a, const char* b) {
    struct stat first, second;
    if (stat(a, &first) != 0 || stat(b, &second) != 0) {
        return -1;
    }
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino ? 1 : 0;
}

int get_disk_free_bytes(const char* root, const char* path, uint64_t* free_bytes) {
    int error = platform_injected_failure(OP_FREE_SPACE);
    if (error != 0) {
        errno = error;
        return 0;
    }
    if (root != nullptr) {
        errno = ENOENT;
        return 0;
    }
    (void)path;
    struct statvfs volume;
    if (statvfs(".", &volume) != 0) {
        return 0;
    }
    *free_bytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    return 1;
}
