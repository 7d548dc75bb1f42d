// Views of a file through a file mapping. Windows refuses to shorten a file
// while a view of it is mapped, and the held log is not shared for writing.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"
#include "platform/platform_names.h"

// `prefault` is not needed: Windows maps the pages of a view in clusters.
// Large pages need a privilege that users do not hold.
char* map_large_page_block() {
    return nullptr;
}

int platform_map_view(PlatformFile* file, int64_t offset, size_t length, PlatformView* view, bool) {
    view->bytes = nullptr;
    view->length = 0;
    if (offset < 0 || offset % static_cast<int64_t>(PLATFORM_VIEW_ALIGNMENT) != 0) {
        return 1;
    }
    if (platform_fail_if_injected(OP_READ)) {
        return -1;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(platform_stream_of(file))));
    LARGE_INTEGER size;
    if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &size)) {
        errno = EIO;
        return -1;
    }
    if (offset >= size.QuadPart) {
        return 0;
    }
    const uint64_t left = static_cast<uint64_t>(size.QuadPart - offset);
    const size_t reach = left < length ? static_cast<size_t>(left) : length;
    HANDLE mapping = CreateFileMappingA(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        errno = EIO;
        return -1;
    }
    const uint64_t at = static_cast<uint64_t>(offset);
    void* bytes = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(at >> 32),
                                static_cast<DWORD>(at & 0xFFFFFFFFu), reach);
    // The view keeps the mapping alive.
    CloseHandle(mapping);
    if (bytes == nullptr) {
        errno = EIO;
        return -1;
    }
    view->bytes = static_cast<const char*>(bytes);
    view->length = reach;
    return 0;
}

// Views are let go at once here: none is kept.
void platform_forget_views_of(PlatformFile*) {}

void platform_unmap_view(PlatformView* view) {
    if (view->length > 0) {
        UnmapViewOfFile(view->bytes);
    }
    view->bytes = nullptr;
    view->length = 0;
}
