// Views of a file through mmap, where the run holds a read lease on it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/platform_names.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZEMBRA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEMBRA_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(MADV_HUGEPAGE) && !defined(ZEMBRA_ADDRESS_SANITIZER)
// Whether the system may give a transparent huge page to a block that asks
// for one. Where it never does, the block would be paged 4 KiB at a time,
// and the large buffers taken from it would cost more in faults than the
// system calls they save.
static bool large_pages_offered() {
    const int fd = open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char setting[128];
    const ssize_t got = read(fd, setting, sizeof setting - 1);
    close(fd);
    if (got <= 0) {
        return false;
    }
    setting[got] = '\0';
    return std::strstr(setting, "[always]") != nullptr ||
           std::strstr(setting, "[madvise]") != nullptr;
}
#endif

char* map_large_page_block() {
#if defined(MADV_HUGEPAGE) && !defined(ZEMBRA_ADDRESS_SANITIZER)
    if (!large_pages_offered()) {
        return nullptr;
    }
    // Twice the size, so that an aligned block lies inside; the rest goes back.
    const size_t size = PLATFORM_WORKING_MEMORY;
    void* mapped =
        mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + size - 1) & ~uintptr_t{size - 1};
    if (aligned > start) {
        munmap(mapped, aligned - start);
    }
    if (aligned + size < start + 2 * size) {
        munmap(reinterpret_cast<void*>(aligned + size), start + 2 * size - (aligned + size));
    }
    auto* block = reinterpret_cast<char*>(aligned);
    madvise(block, size, MADV_HUGEPAGE);
    return block;
#else
    return nullptr;
#endif
}

// A lease broken by a writer is given back at once, and a stopped run lets
// it go too, so a program may still shorten the log under a live view: a
// page past the new end then faults with SIGBUS. The guard puts zero pages in
// the place of such a view, so the copy runs on, and marks the views lost:
// the run then never puts that copy in the log's place.
constexpr int MAX_LIVE_VIEWS = 16;
static volatile uintptr_t live_starts[MAX_LIVE_VIEWS];
static volatile size_t live_lengths[MAX_LIVE_VIEWS];
static volatile sig_atomic_t views_lost = 0;
// Which file and place each live view shows.
static int live_descriptors[MAX_LIVE_VIEWS];
static int64_t live_offsets[MAX_LIVE_VIEWS];
static bool guard_installed = false;

static bool blank_view_at(uintptr_t address) {
    for (int i = 0; i < MAX_LIVE_VIEWS; ++i) {
        const uintptr_t start = live_starts[i];
        const size_t length = live_lengths[i];
        if (length > 0 && address >= start && address - start < length) {
            void* bytes = reinterpret_cast<void*>(start);
            return mmap(bytes, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
                   MAP_FAILED;
        }
    }
    return false;
}

static void on_bus_error(int signal_number, siginfo_t* info, void*) {
    const int error = errno;
    if (blank_view_at(reinterpret_cast<uintptr_t>(info->si_addr))) {
        views_lost = 1;
        errno = error;
        return;
    }
    // Not a view of ours: the fault it is.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

static void install_bus_guard() {
    if (guard_installed) {
        return;
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    guard_installed = sigaction(SIGBUS, &action, nullptr) == 0;
}

static int remember_view(const void* bytes, size_t length, int descriptor, int64_t offset) {
    for (int i = 0; i < MAX_LIVE_VIEWS; ++i) {
        if (live_lengths[i] == 0) {
            live_starts[i] = reinterpret_cast<uintptr_t>(bytes);
            live_lengths[i] = length;
            live_descriptors[i] = descriptor;
            live_offsets[i] = offset;
            return 0;
        }
    }
    return -1;
}

// The slot of a live view, or -1.
static int live_slot_of(const void* bytes) {
    for (int i = 0; i < MAX_LIVE_VIEWS; ++i) {
        if (live_lengths[i] > 0 && live_starts[i] == reinterpret_cast<uintptr_t>(bytes)) {
            return i;
        }
    }
    return -1;
}

static void forget_view(const void* bytes) {
    for (int i = 0; i < MAX_LIVE_VIEWS; ++i) {
        if (live_lengths[i] > 0 && live_starts[i] == reinterpret_cast<uintptr_t>(bytes)) {
            live_lengths[i] = 0;
            live_starts[i] = 0;
        }
    }
}

bool platform_views_intact() {
    return views_lost == 0;
}

void platform_forget_lost_views() {
    views_lost = 0;
}

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

#ifdef MAP_POPULATE
constexpr int MAP_POPULATE_FLAG = MAP_POPULATE;
#else
constexpr int MAP_POPULATE_FLAG = 0;  // pages are then mapped as they are touched
#endif

// A run compares the sorted log with the log and then writes it, each
// through a view of the same window: the view let go last is kept mapped for
// the next one asked of the same file and place (an unmap and a new map took
// about 0.4 ms on the virtual machines measured), until its file is closed or
// another view is mapped.
struct KeptView {
    int descriptor;  // -1: none kept
    int64_t offset;
    PlatformView view;
};
static KeptView kept_view = {-1, 0, {nullptr, 0}};

static void unmap_now(const PlatformView& view) {
    forget_view(view.bytes);
    munmap(const_cast<char*>(view.bytes), view.length);
}

static void drop_kept_view() {
    if (kept_view.descriptor >= 0) {
        unmap_now(kept_view.view);
        kept_view.descriptor = -1;
    }
}

void platform_forget_views_of(PlatformFile* file) {
    if (kept_view.descriptor == fileno(platform_stream_of(file))) {
        drop_kept_view();
    }
}

// Pages not yet mapped are mapped at once where the system can (Linux 5.14
// on); elsewhere they are mapped as they are touched.
static void prefault_view(const PlatformView& view) {
#ifdef MADV_POPULATE_READ
    madvise(const_cast<char*>(view.bytes), view.length, MADV_POPULATE_READ);
#else
    (void)view;
#endif
}

int platform_map_view(PlatformFile* file, int64_t offset, size_t length, PlatformView* view,
                      bool prefault) {
    view->bytes = nullptr;
    view->length = 0;
    const int descriptor = fileno(platform_stream_of(file));
    if (offset < 0 || offset % static_cast<int64_t>(PLATFORM_VIEW_ALIGNMENT) != 0 ||
        views_lost != 0 || !holds_read_lease(descriptor)) {
        drop_kept_view();
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
    const bool kept = kept_view.descriptor == descriptor && kept_view.offset == offset &&
                      kept_view.view.length == reach;
    if (kept) {
        *view = kept_view.view;
        kept_view.descriptor = -1;
        if (prefault) {
            prefault_view(*view);
        }
        return 0;
    }
    drop_kept_view();
    void* bytes = mmap(nullptr, reach, PROT_READ, MAP_SHARED | (prefault ? MAP_POPULATE_FLAG : 0),
                       descriptor, static_cast<off_t>(offset));
    if (bytes == MAP_FAILED) {
        return -1;
    }
    install_bus_guard();
    if (!guard_installed || remember_view(bytes, reach, descriptor, offset) != 0) {
        munmap(bytes, reach);
        return 1;
    }
    view->bytes = static_cast<const char*>(bytes);
    view->length = reach;
    return 0;
}

void platform_unmap_view(PlatformView* view) {
    if (view->length > 0) {
        const int slot = live_slot_of(view->bytes);
        if (slot >= 0 && views_lost == 0) {
            drop_kept_view();
            kept_view = KeptView{live_descriptors[slot], live_offsets[slot], *view};
        } else {
            unmap_now(*view);
        }
    }
    view->bytes = nullptr;
    view->length = 0;
}
