// POSIX side of the platform layer. The log job was made for a file system
// that ignores letter case and a rename that never replaces its target; this
// file supplies both, so that every message and every file the job leaves
// behind are the same as on Windows.
#include "platform/platform_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/platform_names.h"

RenameTestMode rename_test_mode = RENAME_NORMAL;

// --- Names -------------------------------------------------------------------

// The working name is upper-cased with the Shift_JIS rule (the byte after a
// lead byte is never changed), so names are compared folded the same way.
static bool is_lead_byte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

static bool same_ignoring_case(const char* a, const char* b, size_t length) {
    bool after_lead = false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (!after_lead) {
            if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x & ~0x20);
            if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y & ~0x20);
        }
        if (x != y) {
            return false;
        }
        after_lead = !after_lead && is_lead_byte(x);
    }
    return true;
}

// Looks in `directory` for the entries equal to `name` (`length` bytes)
// ignoring case. Copies the one match into `match`; returns the number of
// matches (counting stops at 2), or -1 when the directory cannot be read.
static int find_case_insensitive(const char* directory, const char* name, size_t length,
                                 char* match) {
    DIR* listing = opendir(directory[0] != '\0' ? directory : ".");
    if (listing == nullptr) {
        return -1;
    }
    int found = 0;
    while (found < 2) {
        const dirent* entry = readdir(listing);
        if (entry == nullptr) {
            break;
        }
        if (std::strlen(entry->d_name) == length &&
            same_ignoring_case(entry->d_name, name, length)) {
            std::memcpy(match, entry->d_name, length);
            ++found;
        }
    }
    closedir(listing);
    return found;
}

// Appends one component to `resolved`, which holds `used` bytes: the exact
// name when such an entry exists, else the one entry equal to it ignoring
// case. With `may_be_new`, a name that matches nothing is kept as given.
static int resolve_component(char* resolved, size_t used, const char* name, size_t length,
                             bool may_be_new) {
    std::memcpy(resolved + used, name, length);
    resolved[used + length] = '\0';
    struct stat status;
    if (lstat(resolved, &status) == 0) {
        return 0;
    }
    if (errno != ENOENT) {
        return -1;
    }
    resolved[used] = '\0';
    int found = find_case_insensitive(resolved, name, length, resolved + used);
    resolved[used + length] = '\0';
    if (found == 1) {
        return 0;
    }
    if (found == 0 && may_be_new) {
        std::memcpy(resolved + used, name, length);
        return 0;
    }
    errno = found > 1 ? AMBIGUOUS_NAME_ERROR : ENOENT;
    return -1;
}

static int resolve_name(const char* path, char* resolved, size_t size, bool last_may_be_new) {
    size_t total = std::strlen(path);
    if (total + 1 > size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (total == 0) {
        errno = ENOENT;
        return -1;
    }
    size_t used = 0;
    const char* p = path;
    while (*p != '\0') {
        if (*p == '/') {
            resolved[used++] = *p++;
            continue;
        }
        size_t length = std::strcspn(p, "/");
        bool is_last = p[length + std::strspn(p + length, "/")] == '\0';
        bool is_dot = (length == 1 && p[0] == '.') || (length == 2 && p[0] == '.' && p[1] == '.');
        if (is_dot) {
            std::memcpy(resolved + used, p, length);
        } else if (resolve_component(resolved, used, p, length, last_may_be_new && is_last) != 0) {
            return -1;
        }
        used += length;
        p += length;
    }
    resolved[used] = '\0';
    return 0;
}

int resolve_existing_name(const char* path, char* resolved, size_t size) {
    return resolve_name(path, resolved, size, false);
}

int resolve_new_name(const char* path, char* resolved, size_t size) {
    return resolve_name(path, resolved, size, true);
}

// --- Streams and status --------------------------------------------------------

int platform_sync(PlatformFile* file) {
    if (platform_fail_if_injected(OP_SYNC)) {
        return -1;
    }
    FILE* stream = platform_stream_of(file);
    if (std::fflush(stream) != 0 || fsync(fileno(stream)) != 0) {
        return -1;
    }
    return 0;
}

// Mode 0600 while it is written: nobody else opens a half-written log. It
// gets the old log's mode before it takes the log's name.
FILE* open_new_stream(const char* name) {
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        int error = errno;
        close(fd);
        unlink(name);
        errno = error;
    }
    return stream;
}

FILE* open_read_stream(const char* name) {
    return std::fopen(name, "rb");
}

static int status_of(const char* path, struct stat* status) {
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    return stat(name, status);
}

int platform_file_size(const char* path, int32_t* size) {
    if (platform_fail_if_injected(OP_STATUS)) {
        return -1;
    }
    struct stat status;
    if (status_of(path, &status) != 0) {
        return -1;
    }
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    // FIFOs and devices have no size to compare with free space, and reading
    // one could block or never end.
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    // Windows reports 2 GiB or more as a negative 32-bit size; keep the sign
    // even past 4 GiB, where the low 32 bits alone could look small.
    uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(status.st_size));
    if (status.st_size > INT32_MAX) {
        low |= 0x80000000u;
    }
    *size = static_cast<int32_t>(low);
    return 0;
}

int platform_file_exists(const char* path) {
    if (platform_fail_if_injected(OP_EXISTS)) {
        return 0;
    }
    char name[NAME_BUFFER_SIZE];
    return resolve_existing_name(path, name, sizeof name) == 0 ? 1 : 0;
}

int platform_remove(const char* path) {
    if (platform_fail_if_injected(OP_REMOVE)) {
        return -1;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    return unlink(name) == 0 ? 0 : -1;
}

int platform_same_file(const char* a, const char* b) {
    if (platform_fail_if_injected(OP_STATUS)) {
        return -1;
    }
    struct stat first, second;
    if (status_of(a, &first) != 0 || status_of(b, &second) != 0) {
        return -1;
    }
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino ? 1 : 0;
}

// --- Rename without replacing ----------------------------------------------------

static bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        if (platform_fail_if_injected(OP_WRITE)) {
            return false;
        }
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

static bool copy_contents(int source, int target) {
    char buffer[64 * 1024];
    for (;;) {
        ssize_t got = read(source, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (!write_all(target, buffer, static_cast<size_t>(got))) {
            return false;
        }
    }
}

static bool sync_file(int fd) {
    return !platform_fail_if_injected(OP_SYNC) && fsync(fd) == 0;
}

// What MoveFileA does across volumes: copy, then delete the source. The target
// is created exclusively and reaches the disk before the source goes; on any
// failure the partial target is removed and the source stays.
static int copy_across_devices(const char* from, const char* to) {
    struct stat status;
    if (lstat(from, &status) != 0) {
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        errno = EXDEV;
        return -1;
    }
    int source = open(from, O_RDONLY | O_CLOEXEC);
    if (source < 0) {
        return -1;
    }
    int target = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 07777);
    if (target < 0) {
        int error = errno;
        close(source);
        errno = error;
        return -1;
    }
    bool copied = copy_contents(source, target) && sync_file(target);
    int error = errno;
    if (copied) {
        const struct timespec times[2] = {status.st_atim, status.st_mtim};
        futimens(target, times);  // as MoveFileA keeps them; not worth failing for
    }
    if (close(target) != 0 && copied) {
        copied = false;
        error = errno;
    }
    close(source);
    if (copied && unlink(from) == 0) {
        return 0;
    }
    if (copied) {
        error = errno;
    }
    unlink(to);
    errno = error;
    return -1;
}

static int rename_no_replace_syscall(const char* from, const char* to) {
#if defined(__linux__) && defined(SYS_renameat2)
    if (rename_test_mode == RENAME_NORMAL) {
        constexpr unsigned RENAME_NOREPLACE_FLAG = 1;
        return static_cast<int>(
            syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE_FLAG));
    }
#else
    (void)from;
    (void)to;
#endif
    errno = ENOSYS;
    return -1;
}

// link() refuses an existing target atomically, where the file system has
// hard links.
static int rename_by_link(const char* from, const char* to) {
    if (rename_test_mode == RENAME_WITHOUT_RENAMEAT2_OR_LINK) {
        errno = EPERM;
        return -1;
    }
    if (link(from, to) != 0) {
        return -1;
    }
    if (unlink(from) != 0) {
        int error = errno;
        unlink(to);
        errno = error;
        return -1;
    }
    return 0;
}

static bool is_unsupported(int error) {
    return error == ENOSYS || error == EINVAL || error == EPERM || error == EOPNOTSUPP ||
           error == ENOTSUP;
}

static int rename_resolved(const char* from, const char* to) {
    if (rename_test_mode == RENAME_CROSS_DEVICE) {
        errno = EXDEV;
        return -1;
    }
    if (rename_no_replace_syscall(from, to) == 0) {
        return 0;
    }
    if (!is_unsupported(errno)) {
        return -1;
    }
    // Hard links fail on directories and some file systems: then the target
    // can only be checked first.
    struct stat status;
    if (lstat(from, &status) == 0 && !S_ISDIR(status.st_mode)) {
        if (rename_by_link(from, to) == 0) {
            return 0;
        }
        if (!is_unsupported(errno)) {
            return -1;
        }
    }
    if (lstat(to, &status) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(from, to);
}

int platform_rename(const char* from, const char* to) {
    if (platform_fail_if_injected(OP_RENAME)) {
        return -1;
    }
    char source[NAME_BUFFER_SIZE];
    char target[NAME_BUFFER_SIZE];
    if (resolve_existing_name(from, source, sizeof source) != 0 ||
        resolve_new_name(to, target, sizeof target) != 0) {
        return -1;
    }
    if (rename_resolved(source, target) == 0) {
        return 0;
    }
    if (errno != EXDEV) {
        return -1;
    }
    return copy_across_devices(source, target);
}

// --- Free space -------------------------------------------------------------------

// "The current drive" of a file is the file system that holds its directory.
static int directory_of(const char* path, char* directory, size_t size) {
    const char* slash = path != nullptr ? std::strrchr(path, '/') : nullptr;
    if (slash == nullptr) {
        std::snprintf(directory, size, ".");
        return 0;
    }
    char given[NAME_BUFFER_SIZE];
    size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (length + 1 > sizeof given) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(given, path, length);
    given[length] = '\0';
    return resolve_existing_name(given, directory, size);
}

int get_disk_free_bytes(const char* root, const char* path, uint64_t* free_bytes) {
    if (platform_fail_if_injected(OP_FREE_SPACE)) {
        return 0;
    }
    // Drive letters name nothing here.
    if (root != nullptr) {
        errno = ENODEV;
        return 0;
    }
    char directory[NAME_BUFFER_SIZE];
    struct statvfs volume;
    if (directory_of(path, directory, sizeof directory) != 0 || statvfs(directory, &volume) != 0) {
        return 0;
    }
    *free_bytes = static_cast<uint64_t>(volume.f_bavail) * static_cast<uint64_t>(volume.f_frsize);
    return 1;
}
