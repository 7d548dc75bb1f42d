// Views of a file through mmap, where the run holds a read lease on it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/platform_names.h"

// A lease is taken only on the held log (platform_open_log), and only where
// the system grants one; while a break is pending it reads as F_UNLCK.
static bool holds_read_lease(int descriptor) {
#ifdef F_GETLEASE
    return fcntl(descriptor, F_GETLEASE) == F_RDLCK;
#else
    (void)descriptor;
    return false;
#endif
}

int platform_map_view(PlatformFile* file, int64_t offset, size_t length, PlatformView* view) {
    view->bytes = nullptr;
    view->length = 0;
    const int descriptor = fileno(platform_stream_of(file));
    if (offset < 0 || offset % static_cast<int64_t>(PLATFORM_VIEW_ALIGNMENT) != 0 ||
        !holds_read_lease(descriptor)) {
        return 1;
    }
    if (platform_fail_if_injected(OP_READ)) {
        return -1;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0) {
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        return 1;
    }
    if (offset >= status.st_size) {
        return 0;
    }
    const uint64_t left = static_cast<uint64_t>(status.st_size - offset);
    const size_t reach = left < length ? static_cast<size_t>(left) : length;
    void* bytes =
        mmap(nullptr, reach, PROT_READ, MAP_SHARED, descriptor, static_cast<off_t>(offset));
    if (bytes == MAP_FAILED) {
        return -1;
    }
    view->bytes = static_cast<const char*>(bytes);
    view->length = reach;
    return 0;
}

void platform_unmap_view(PlatformView* view) {
    if (view->length > 0) {
        munmap(const_cast<char*>(view->bytes), view->length);
    }
    view->bytes = nullptr;
    view->length = 0;
}
