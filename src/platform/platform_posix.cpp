// POSIX side of the platform layer. The log job was made for a file system
// that ignores letter case and a rename that never replaces its target; this
// file supplies both, so that every message and every file the job leaves
// behind are the same as on Windows.
#include "platform/platform_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <strings.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "match/sjis_bytes.h"
#include "platform/platform.h"
#include "platform/platform_names.h"

// --- Names -------------------------------------------------------------------

// The working name is upper-cased with the Shift_JIS rule (the byte after a
// lead byte is never changed), so names are compared folded the same way.
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
        after_lead = !after_lead && is_sjis_lead_byte(x);
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

size_t read_stream_at(FILE* stream, int64_t offset, char* buffer, size_t size, bool* failed) {
    const int descriptor = fileno(stream);
    size_t got = 0;
    while (got < size) {
        ssize_t part =
            pread(descriptor, buffer + got, size - got, static_cast<off_t>(offset + got));
        if (part < 0 && errno == EINTR) {
            continue;
        }
        if (part <= 0) {
            *failed = part < 0;
            break;
        }
        got += static_cast<size_t>(part);
    }
    return got;
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
    *size = fold_file_size(static_cast<int64_t>(status.st_size));
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
// Copies `from` to the new name `to` and, unless `keep_source`, removes it.
static int copy_across_devices(const char* from, const char* to, bool keep_source = false) {
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
    if (copied && (keep_source || unlink(from) == 0)) {
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
    if (platform_fail_if_injected(OP_NO_REPLACE_RENAME)) {
        return -1;
    }
#if defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned RENAME_NOREPLACE_FLAG = 1;
    return static_cast<int>(
        syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE_FLAG));
#else
    (void)from;
    (void)to;
    errno = ENOSYS;
    return -1;
#endif
}

// link() refuses an existing target atomically, where the file system has
// hard links.
static int rename_by_link(const char* from, const char* to) {
    if (platform_fail_if_injected(OP_LINK) || link(from, to) != 0) {
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

// Only system calls that are safe in a signal handler, which uses it too.
static int move_resolved(const char* from, const char* to) {
    if (rename_resolved(from, to) == 0) {
        return 0;
    }
    if (errno != EXDEV) {
        return -1;
    }
    return copy_across_devices(from, to);
}

// A rename of the entry `from` as it exists to `to` as it is to be made: one
// that never replaces (or copies across file systems), or the plain rename
// that replaces `to` in one step.
static int move_names(const char* from, const char* to, bool replace) {
    if (platform_fail_if_injected(OP_RENAME)) {
        return -1;
    }
    char source[NAME_BUFFER_SIZE];
    char target[NAME_BUFFER_SIZE];
    if (resolve_existing_name(from, source, sizeof source) != 0 ||
        resolve_new_name(to, target, sizeof target) != 0) {
        return -1;
    }
    if (replace) {
        return rename(source, target) == 0 ? 0 : -1;
    }
    return move_resolved(source, target);
}

int platform_rename(const char* from, const char* to) {
    return move_names(from, to, false);
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

int query_free_bytes(const char* root, const char* path, uint64_t* free_bytes) {
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

// --- Replacing rename, identity, permissions -----------------------------------------

int platform_replace(const char* from, const char* to) {
    return move_names(from, to, true);
}

int platform_sync_directory(const char* path) {
    if (platform_fail_if_injected(OP_SYNC)) {
        return -1;
    }
    char directory[NAME_BUFFER_SIZE];
    if (directory_of(path, directory, sizeof directory) != 0) {
        return -1;
    }
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // A file system that cannot sync a directory (EINVAL) keeps no more for it.
    int result = fsync(fd) == 0 || errno == EINVAL ? 0 : -1;
    int error = errno;
    close(fd);
    errno = error;
    return result;
}

int platform_name_is_unique(const char* path) {
    char directory[NAME_BUFFER_SIZE];
    if (directory_of(path, directory, sizeof directory) != 0) {
        return -1;
    }
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    char match[NAME_MAX + 1];
    size_t length = std::strlen(name);
    if (length > NAME_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int found = find_case_insensitive(directory, name, length, match);
    return found < 0 ? -1 : found <= 1 ? 1 : 0;
}

// Linux allows 40 links on one path; so do we.
constexpr int MAX_LINKS_FOLLOWED = 40;

int platform_link_target(const char* path, char* target, size_t size) {
    char current[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, current, sizeof current) != 0) {
        return -1;
    }
    for (int followed = 0; followed <= MAX_LINKS_FOLLOWED; ++followed) {
        struct stat status;
        if (lstat(current, &status) != 0) {
            return -1;
        }
        if (!S_ISLNK(status.st_mode)) {
            // The name as given when it is no link: it keeps its letter case.
            const char* result = followed > 0 ? current : path;
            if (std::strlen(result) + 1 > size) {
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(target, result, std::strlen(result) + 1);
            return 0;
        }
        char link[NAME_BUFFER_SIZE];
        ssize_t length = readlink(current, link, sizeof link);
        if (length < 0) {
            return -1;
        }
        char next[NAME_BUFFER_SIZE];
        const char* slash = std::strrchr(current, '/');
        size_t directory = link[0] != '/' && slash != nullptr ? slash - current + 1 : 0;
        if (static_cast<size_t>(length) >= sizeof link ||
            directory + static_cast<size_t>(length) + 1 > sizeof next) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(next, current, directory);
        std::memcpy(next + directory, link, static_cast<size_t>(length));
        next[directory + static_cast<size_t>(length)] = '\0';
        if (resolve_existing_name(next, current, sizeof current) != 0) {
            return -1;
        }
    }
    errno = ELOOP;
    return -1;
}

static void identity_from(const struct stat& status, PlatformFileIdentity* identity) {
    identity->device = static_cast<uint64_t>(status.st_dev);
    identity->file_id = static_cast<uint64_t>(status.st_ino);
    identity->size = static_cast<int64_t>(status.st_size);
    identity->modified = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                         static_cast<int64_t>(status.st_mtim.tv_nsec);
    identity->mode = static_cast<uint32_t>(status.st_mode & 07777);
    identity->owner = static_cast<uint32_t>(status.st_uid);
    identity->group = static_cast<uint32_t>(status.st_gid);
}

int platform_identify(PlatformFile* file, PlatformFileIdentity* identity) {
    struct stat status;
    if (fstat(fileno(platform_stream_of(file)), &status) != 0) {
        return -1;
    }
    identity_from(status, identity);
    return 0;
}

int platform_identify_named(const char* path, PlatformFileIdentity* identity) {
    char name[NAME_BUFFER_SIZE];
    struct stat status;
    if (resolve_existing_name(path, name, sizeof name) != 0 || lstat(name, &status) != 0) {
        return -1;
    }
    identity_from(status, identity);
    return 0;
}

// The owner first: a change of owner may clear the set-id bits.
int platform_copy_owner_and_mode(const char* path, const PlatformFileIdentity* from) {
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // Only root may give a file away; the group may still be one of ours.
    if (fchown(fd, from->owner, from->group) != 0 && fchown(fd, -1, from->group) != 0) {
        errno = 0;
    }
    int result = fchmod(fd, static_cast<mode_t>(from->mode)) == 0 ? 0 : -1;
    int error = errno;
    close(fd);
    errno = error;
    return result;
}

// --- Lock between runs ---------------------------------------------------------------

static int lock_descriptor = -1;

void platform_unlock_file() {
    if (lock_descriptor >= 0) {
        close(lock_descriptor);
        lock_descriptor = -1;
    }
}

static bool same_inode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A run that finishes between our open and our lock leaves its new log under
// the name; then the lock is taken again on that file. A few rounds are
// plenty: each needs a whole run of the other process.
constexpr int LOCK_ROUNDS = 8;

int platform_lock_file(const char* path) {
    platform_unlock_file();
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    for (int round = 0; round < LOCK_ROUNDS; ++round) {
        int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return -1;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            close(fd);
            // A file system without locks (some network ones) runs unguarded,
            // as before there were locks.
            if (error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS) {
                return 0;
            }
            errno = error;
            return error == EWOULDBLOCK ? -2 : -1;
        }
        struct stat held, named;
        if (fstat(fd, &held) == 0 && lstat(name, &named) == 0 && same_inode(held, named)) {
            lock_descriptor = fd;
            return 0;
        }
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

// --- Interrupts during a rewrite -------------------------------------------------------

namespace {

constexpr int GUARDED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr char KEPT_PREFIX[] = "Saved copy kept: ";

volatile sig_atomic_t guard_step = STEP_NONE;
bool handlers_installed = false;
// Resolved beforehand: the handler may not look names up.
char guard_log[NAME_BUFFER_SIZE];
char guard_saved[NAME_BUFFER_SIZE];
char guard_side[NAME_BUFFER_SIZE];
char guard_kept_message[sizeof KEPT_PREFIX + NAME_BUFFER_SIZE + 1];
size_t guard_kept_length = 0;

void undo_rewrite(int signal_number) {
    int error = errno;
    int step = guard_step;
    if (step == STEP_WRITING) {
        unlink(guard_side);
    }
    bool kept = step == STEP_REPLACED;
    if (step == STEP_MOVED || step == STEP_WRITING) {
        kept = rename_resolved(guard_saved, guard_log) != 0;
        // Across file systems (a -B temporary) the copy back could itself be
        // cut short by a second signal: the saved copy is named first and
        // stays whole.
        if (kept && errno == EXDEV) {
            ssize_t ignored = write(STDERR_FILENO, guard_kept_message, guard_kept_length);
            (void)ignored;
            copy_across_devices(guard_saved, guard_log, true);
            kept = false;
        }
    }
    if (kept) {
        ssize_t ignored = write(STDERR_FILENO, guard_kept_message, guard_kept_length);
        (void)ignored;
    }
    errno = error;
    // Ends the process with the signal itself, so the shell sees 128 + n.
    signal(signal_number, SIG_DFL);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal_number);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signal_number);
}

void guarded_set(sigset_t* set) {
    sigemptyset(set);
    for (int signal_number : GUARDED_SIGNALS) {
        sigaddset(set, signal_number);
    }
}

// A signal ignored when the run started (nohup) stays ignored.
void install_handlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = undo_rewrite;
    guarded_set(&action.sa_mask);
    for (int signal_number : GUARDED_SIGNALS) {
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
    handlers_installed = true;
}

}  // namespace

// Holds nest: only the outermost release lets a pending signal through.
static int hold_depth = 0;

void platform_hold_interrupts() {
    if (hold_depth++ == 0) {
        sigset_t set;
        guarded_set(&set);
        sigprocmask(SIG_BLOCK, &set, nullptr);
    }
}

void platform_release_interrupts() {
    if (hold_depth > 0 && --hold_depth == 0) {
        sigset_t set;
        guarded_set(&set);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }
}

int platform_guard_names(const char* log, const char* saved, const char* side) {
    platform_hold_interrupts();
    if (!handlers_installed) {
        install_handlers();
    }
    int result = 0;
    if (resolve_guard_name(log, guard_log) != 0 || resolve_guard_name(saved, guard_saved) != 0 ||
        resolve_guard_name(side, guard_side) != 0) {
        result = -1;
    }
    int length = std::snprintf(guard_kept_message, sizeof guard_kept_message, "%s%s\n", KEPT_PREFIX,
                               saved != nullptr ? saved : "");
    guard_kept_length = length > 0 ? static_cast<size_t>(length) : 0;
    platform_release_interrupts();
    return result;
}

void platform_guard_step(RewriteStep step) {
    guard_step = step;
}

// --- Console -----------------------------------------------------------------------

// The locale is only asked: the program itself keeps running in the C locale.
static bool locale_is_utf8() {
    if (std::setlocale(LC_CTYPE, "") == nullptr) {
        return false;
    }
    const char* codeset = nl_langinfo(CODESET);
    const bool utf8 = codeset != nullptr &&
                      (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0);
    std::setlocale(LC_CTYPE, "C");
    return utf8;
}

TerminalKind platform_error_terminal() {
    static int kind = -1;
    if (kind < 0) {
        kind = !isatty(STDERR_FILENO) ? TERMINAL_NONE
               : locale_is_utf8()     ? TERMINAL_UTF8
                                      : TERMINAL_OTHER;
    }
    return static_cast<TerminalKind>(kind);
}

int platform_write_console(const char*, size_t) {
    errno = ENOTTY;
    return -1;
}

int platform_expand_pattern(const char*, char** names) {
    *names = nullptr;
    return 0;
}
