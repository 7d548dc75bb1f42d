// POSIX home of the replace (platform_replace.h): the held log and its
// folder, the side file that is the lock between runs, the lease, the
// backup and the swap, and the signals around them. After the hold every
// step names files relative to the folder opened once.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "match/sjis_bytes.h"
#include "platform/platform.h"
#include "platform/platform_names.h"
#include "platform/platform_replace.h"

namespace {

// LOG.$$$, then LOG.$01 to LOG.$99.
constexpr int SIDE_NAME_ATTEMPTS = 100;
// A run that finishes between our open and our side file leaves its new log
// under the name; then the log is opened again. Likewise a side name whose
// live file another run swaps in while we look at it is looked at again.
// Each round needs a whole run of the other process.
constexpr int HOLD_ROUNDS = 8;
// How long a locked side file without a record is watched for one.
constexpr int RECORD_WAITS = 20;
constexpr useconds_t RECORD_PAUSE_US = 1000;
// The record of the log a ".BAK" (or a side file) was made from: its name in
// the folder. Where the file system keeps no extended attributes there is no
// record, and a ".BAK" is replaced as it always was.
constexpr const char BACKUP_RECORD[] = "user.zembra.log";
constexpr const char SIDE_RECORD[] = "user.zembra.side";

}  // namespace

struct LogHold {
    PlatformFile* file;
    int log;        // the held log, owned by `file`
    int directory;  // its folder, opened once
    int side;       // the side file, locked; -1 for none
    bool committed;
    bool offered;                   // the side file went to platform_open_write's next call
    int side_error;                 // why there is no side file: a folder this run cannot write
    char entry[NAME_MAX + 1];       // the log's name in the folder
    char side_entry[NAME_MAX + 1];  // the side file's
    char side_path[NAME_BUFFER_SIZE];
    PlatformFileIdentity checked;  // as held_log_unchanged last saw it
};

// --- Names in the held folder -----------------------------------------------------

static const char* last_component(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// `name` with the extension of its last component replaced (a dot after a
// Shift_JIS lead byte is part of a character), into `out` of NAME_MAX + 1.
static int with_extension(const char* name, const char* extension, char* out) {
    size_t dot = std::strlen(name);
    bool after_lead = false;
    for (size_t i = 0; name[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (!after_lead && c == '.') {
            dot = i;
        }
        after_lead = !after_lead && is_sjis_lead_byte(c);
    }
    if (dot + std::strlen(extension) > NAME_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(out, name, dot);
    std::memcpy(out + dot, extension, std::strlen(extension) + 1);
    return 0;
}

// By the rule the working name was upper-cased with: in Shift_JIS names
// "\x83\x61" and "\x83\x41" are two katakana, so two different logs.
static bool same_name_ignoring_case(const char* a, const char* b) {
    const size_t length = std::strlen(a);
    return std::strlen(b) == length && same_ignoring_case(a, b, length, names_are_sjis(a, length));
}

static int side_entry_name(const char* base, int attempt, char* out) {
    char extension[8];
    std::snprintf(extension, sizeof extension, attempt == 0 ? ".$$$" : ".$%02d", attempt);
    return with_extension(base, extension, out);
}

static bool same_inode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The entry `name` of the held folder is the held log.
static bool names_held_log(const LogHold* hold, const char* name) {
    struct stat held, named;
    return fstat(hold->log, &held) == 0 &&
           fstatat(hold->directory, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_inode(held, named);
}

static void append_squatted(HoldReport* report, const char* name) {
    const size_t used = std::strlen(report->squatted);
    if (used + std::strlen(name) + 3 < sizeof report->squatted) {
        std::snprintf(report->squatted + used, sizeof report->squatted - used, "%s%s",
                      used > 0 ? ", " : "", name);
    }
}

// --- Records in extended attributes -------------------------------------------------

// The record `name` of `fd` into `value` (NAME_MAX + 1 bytes); false when it
// has none or the file system keeps none.
static bool read_record(int fd, const char* name, char* value) {
#ifdef __linux__
    const ssize_t length = fgetxattr(fd, name, value, NAME_MAX);
    if (length >= 0) {
        value[length] = '\0';
        return true;
    }
#else
    (void)fd;
    (void)name;
    (void)value;
#endif
    return false;
}

static void write_record(int fd, const char* name, const char* value) {
#ifdef __linux__
    int ignored = fsetxattr(fd, name, value, std::strlen(value), 0);
    (void)ignored;
#else
    (void)fd;
    (void)name;
    (void)value;
#endif
}

static void remove_record(int fd, const char* name) {
#ifdef __linux__
    int ignored = fremovexattr(fd, name);
    (void)ignored;
#else
    (void)fd;
    (void)name;
#endif
}

// --- Locks and the lease ------------------------------------------------------------

// A file system without a kind of lock (some network ones) runs without it.
static bool lacks_locks(int error) {
    return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL ||
           error == EBADF;
}

// A capture program that locks what it writes holds a record lock; the OFD
// read lock conflicts only with write locks, which need the file open for
// writing, so a reader of the log can stop nothing with one.
static int take_record_lock(int fd) {
#ifdef F_OFD_SETLK
    struct flock range;
    std::memset(&range, 0, sizeof range);
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &range) == 0) {
        return 0;
    }
    if (errno == EWOULDBLOCK || errno == EAGAIN || errno == EACCES) {
        return PLATFORM_BUSY;
    }
    return lacks_locks(errno) ? 0 : -1;
#else
    (void)fd;
    return 0;
#endif
}

// Some run holds a record lock on the file (the old log of a run that is
// still putting its new log in place holds its read lock).
static bool is_record_locked(int fd) {
#ifdef F_OFD_GETLK
    struct flock range;
    std::memset(&range, 0, sizeof range);
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_GETLK, &range) != 0 || range.l_type != F_UNLCK;
#else
    (void)fd;
    return false;
#endif
}

// The lease's state is the signal handlers' too.
static volatile sig_atomic_t lease_fd = -1;
static volatile sig_atomic_t lease_broken = 0;
static volatile sig_atomic_t lease_released = 0;

// A writer that opens the log waits until the lease is given back: it is,
// at once, and the run will not replace the log.
static void give_lease_back(int) {
    const int error = errno;
#ifdef F_SETLEASE
    if (lease_fd >= 0) {
        fcntl(lease_fd, F_SETLEASE, F_UNLCK);
    }
#endif
    lease_broken = 1;
    errno = error;
}

// A stopped run (Ctrl-Z) would keep writers waiting: the lease goes first,
// and is asked for again when the run goes on.
static void stop_without_lease(int signal_number) {
    const int error = errno;
#ifdef F_SETLEASE
    if (lease_fd >= 0 && fcntl(lease_fd, F_SETLEASE, F_UNLCK) == 0) {
        lease_released = 1;
    }
#endif
    signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
    signal(signal_number, stop_without_lease);
    errno = error;
}

static void install_lease_handlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = give_lease_back;
    sigaction(SIGIO, &action, nullptr);
    struct sigaction previous;
    if (sigaction(SIGTSTP, nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL) {
        action.sa_handler = stop_without_lease;
        sigaction(SIGTSTP, &action, nullptr);
    }
}

// A read lease is refused while anyone has the file open for writing, and
// broken when someone opens it so. Only the file's owner (or a process with
// CAP_LEASE) gets one: others run on the identity check alone.
static int take_lease(int fd) {
    lease_fd = -1;
    lease_broken = 0;
    lease_released = 0;
    platform_forget_lost_views();
#ifdef F_SETLEASE
    install_lease_handlers();
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        lease_fd = fd;
        return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return PLATFORM_BUSY;
    }
#else
    (void)fd;
#endif
    return 0;
}

static void drop_lease(int fd) {
    if (lease_fd == fd) {
#ifdef F_SETLEASE
        fcntl(fd, F_SETLEASE, F_UNLCK);
#endif
        lease_fd = -1;
    }
}

// False once a writer has opened the held log (while a break is pending the
// lease reads as F_UNLCK). After a stop the lease is taken again: refused,
// someone has the log open for writing now.
static bool lease_holds(int fd) {
#ifdef F_GETLEASE
    if (lease_fd != fd) {
        return (lease_fd < 0 || lease_broken == 0) && platform_views_intact();
    }
    if (lease_released != 0 && lease_broken == 0) {
        lease_released = 0;
        if (fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
            lease_broken = 1;
        }
    }
    return lease_broken == 0 && platform_views_intact() && fcntl(fd, F_GETLEASE) == F_RDLCK;
#else
    (void)fd;
    return true;
#endif
}

// --- Signals -------------------------------------------------------------------------

// Every signal whose default ends the process and that a user, a shell or a
// wrapper sends. SIGPIPE and SIGXFSZ are ignored instead.
constexpr int GUARDED_SIGNALS[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGALRM,
                                   SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2};

static bool handlers_installed = false;
// The side file an ending signal removes: its folder and name there (a
// path, with AT_FDCWD).
static volatile sig_atomic_t guard_active = 0;
static int guard_directory = AT_FDCWD;
static char guard_entry[NAME_BUFFER_SIZE];

static void remove_guarded_side(int signal_number) {
    const int error = errno;
    if (guard_active != 0) {
        unlinkat(guard_directory, guard_entry, 0);
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

static void guarded_set(sigset_t* set) {
    sigemptyset(set);
    for (int signal_number : GUARDED_SIGNALS) {
        sigaddset(set, signal_number);
    }
}

// A signal ignored when the run started (nohup) stays ignored.
static void install_guard_handlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = remove_guarded_side;
    guarded_set(&action.sa_mask);
    for (int signal_number : GUARDED_SIGNALS) {
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
    handlers_installed = true;
}

void platform_start_run() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

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

// A null `entry` guards nothing.
static void guard_side(int directory, const char* entry) {
    platform_hold_interrupts();
    if (!handlers_installed) {
        install_guard_handlers();
    }
    guard_active = 0;
    if (entry != nullptr) {
        std::memcpy(guard_entry, entry, std::strlen(entry) + 1);
        guard_directory = directory;
        guard_active = 1;
    }
    platform_release_interrupts();
}

int platform_guard_side_file(const char* side) {
    if (side == nullptr || side[0] == '\0') {
        guard_side(-1, nullptr);
        return 0;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_guard_name(side, name) != 0) {
        return -1;
    }
    guard_side(AT_FDCWD, name);
    return 0;
}

// --- The side file ----------------------------------------------------------------------

// A file this run made and may use again: regular, the runner's, for the
// runner alone, with no second name.
static bool is_own_side_file(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
           (status.st_mode & 07777) == 0600 && status.st_nlink == 1;
}

// Makes the side file appear under `name` already marked and locked (an
// unnamed file linked in), so that no other run ever sees it otherwise.
// The descriptor, or -1 (EEXIST: the name is taken; EOPNOTSUPP: no way to
// make a file appear whole here).
static int link_new_side(LogHold* hold, const char* name) {
#if defined(O_TMPFILE) && defined(__linux__)
    const int fd = openat(hold->directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    write_record(fd, SIDE_RECORD, hold->entry);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && !lacks_locks(errno)) {
        close(fd);
        errno = EOPNOTSUPP;
        return -1;
    }
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    platform_hold_interrupts();
    const int linked = linkat(AT_FDCWD, path, hold->directory, name, AT_SYMLINK_FOLLOW);
    const int error = errno;
    if (linked == 0) {
        guard_side(hold->directory, name);
    }
    platform_release_interrupts();
    if (linked == 0) {
        return fd;
    }
    close(fd);
    errno = error == EEXIST ? EEXIST : EOPNOTSUPP;
    return -1;
#else
    (void)hold;
    (void)name;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

// take_side_name_once found the name leading elsewhere than the file it
// opened: another run's side file became that run's log in between.
constexpr int SIDE_NAME_MOVED = 2;

// The entry `name` of the held folder is still the file `opened`.
static bool still_names(const LogHold* hold, const char* name, const struct stat& opened) {
    struct stat named;
    return !platform_fail_if_injected(OP_STATUS) &&
           fstatat(hold->directory, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_inode(named, opened);
}

// As take_side_name, once; SIDE_NAME_MOVED when the name must be looked at again.
static int take_side_name_once(LogHold* hold, const char* name, bool* pending) {
    int fd = link_new_side(hold, name);
    if (fd >= 0) {
        hold->side = fd;
        return 0;
    }
    if (errno == EOPNOTSUPP) {
        platform_hold_interrupts();
        fd =
            openat(hold->directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            guard_side(hold->directory, name);
        }
        platform_release_interrupts();
    }
    if (fd >= 0) {
        write_record(fd, SIDE_RECORD, hold->entry);
        // Another run that took it for a dead one's in between keeps it.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 && !lacks_locks(errno)) {
            guard_side(-1, nullptr);
            close(fd);
            errno = EBUSY;
            return PLATFORM_BUSY;
        }
        hold->side = fd;
        return 0;
    }
    if (errno != EEXIST) {
        return -1;
    }
    struct stat named, opened, held;
    if (fstatat(hold->directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(named.st_mode) || named.st_nlink != 1 || fstat(hold->log, &held) != 0) {
        return 1;
    }
    const bool own = is_own_side_file(named);
    fd = openat(hold->directory, name,
                (own ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &opened) != 0 || !same_inode(named, opened)) {
        if (fd >= 0) close(fd);
        return 1;
    }
    char record[NAME_MAX + 1];
    bool has_side_record = read_record(fd, SIDE_RECORD, record);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && !lacks_locks(errno)) {
        // Its maker writes the record a moment after the file appears.
        for (int wait = 0; !has_side_record && wait < RECORD_WAITS; ++wait) {
            usleep(RECORD_PAUSE_US);
            has_side_record = read_record(fd, SIDE_RECORD, record);
        }
        // A live side file loses its record only as its run swaps it in
        // as that run's log: what the name leads to now is another file.
        if (!has_side_record && !still_names(hold, name, opened)) {
            close(fd);
            return SIDE_NAME_MOVED;
        }
        close(fd);
        // A live run: of this log (busy), of another log with the same
        // side names, or a file someone else holds (the next name).
        const bool this_log = has_side_record ? same_name_ignoring_case(record, hold->entry)
                                              : opened.st_uid == geteuid();
        if (!this_log) {
            return 1;
        }
        errno = EBUSY;
        return PLATFORM_BUSY;
    }
    if (!own || (!has_side_record && opened.st_size != 0)) {
        // The old log of a run that died before it became the ".BAK": the
        // log's owner's file, recorded as this log's, that no run holds.
        *pending = !has_side_record && opened.st_uid == held.st_uid &&
                   read_record(fd, BACKUP_RECORD, record) &&
                   same_name_ignoring_case(record, hold->entry) && !is_record_locked(fd);
        close(fd);
        return 1;
    }
    // Its run died: what it wrote, or nothing, is taken over.
    if (ftruncate(fd, 0) != 0) {
        close(fd);
        return 1;
    }
    write_record(fd, SIDE_RECORD, hold->entry);
    guard_side(hold->directory, name);
    hold->side = fd;
    return 0;
}

// Takes the side name `name`: a new file, or a side file whose run died
// (its lock is free). 0 with hold->side set; 1 when the name is not ours to
// take; PLATFORM_BUSY when a live run of this log holds it; -1 on failure.
static int take_side_name(LogHold* hold, const char* name, bool* pending) {
    for (int round = 0; round < HOLD_ROUNDS; ++round) {
        const int taken = take_side_name_once(hold, name, pending);
        if (taken != SIDE_NAME_MOVED) {
            return taken;
        }
    }
    return 1;
}

// A run ended between swapping its new log in and renaming the old one to
// the ".BAK": the old log, under a side name, is put where it was going.
static bool finish_pending_backup(LogHold* hold, const char* name, const char* base) {
    char backup[NAME_MAX + 1];
    return with_extension(base, ".BAK", backup) == 0 && !platform_fail_if_injected(OP_RENAME) &&
           renameat(hold->directory, name, hold->directory, backup) == 0;
}

static int take_side_file(LogHold* hold, const char* name_base, HoldReport* report) {
    const char* base = last_component(name_base);
    for (int attempt = 0; attempt < SIDE_NAME_ATTEMPTS; ++attempt) {
        char name[NAME_MAX + 1];
        if (side_entry_name(base, attempt, name) != 0) {
            return -1;
        }
        if (same_name_ignoring_case(name, hold->entry)) {
            continue;
        }
        if (platform_fail_if_injected(OP_OPEN)) {
            return -1;
        }
        bool pending = false;
        const int taken = take_side_name(hold, name, &pending);
        if (taken == 1 && pending && finish_pending_backup(hold, name, base)) {
            report->finished_backup = true;
            --attempt;
            continue;
        }
        if (taken == 1) {
            append_squatted(report, name);
            continue;
        }
        if (taken != 0) {
            return taken;
        }
        std::memcpy(hold->side_entry, name, std::strlen(name) + 1);
        const size_t folder = static_cast<size_t>(base - name_base);
        if (folder + std::strlen(name) + 1 > sizeof hold->side_path) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(hold->side_path, name_base, folder);
        std::memcpy(hold->side_path + folder, name, std::strlen(name) + 1);
        return 0;
    }
    errno = EEXIST;
    return -1;
}

// --- Holding the log ------------------------------------------------------------------

static int open_folder(const char* path, char* entry) {
    const char* name = last_component(path);
    if (std::strlen(name) > NAME_MAX || name[0] == '\0') {
        errno = std::strlen(name) > NAME_MAX ? ENAMETOOLONG : ENOENT;
        return -1;
    }
    std::memcpy(entry, name, std::strlen(name) + 1);
    char folder[NAME_BUFFER_SIZE];
    const size_t length = static_cast<size_t>(name - path);
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    return open(length > 0 ? folder : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Opens the log in the held folder with its locks and lease: 0, PLATFORM_BUSY or -1.
static int open_held_log(LogHold* hold) {
    const int fd =
        openat(hold->directory, hold->entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat status;
    int result = fstat(fd, &status) == 0 ? 0 : -1;
    if (result == 0 && !S_ISREG(status.st_mode)) {
        errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        result = -1;
    }
    if (result == 0) {
        result = take_record_lock(fd);
    }
    if (result == 0) {
        result = take_lease(fd);
    }
    if (result != 0) {
        const int error = result == PLATFORM_BUSY ? EBUSY : errno;
        close(fd);
        errno = error;
        return result;
    }
    hold->log = fd;
    return 0;
}

static void close_held_log(LogHold* hold) {
    drop_lease(hold->log);
    if (hold->file != nullptr) {
        platform_close(hold->file);
    } else if (hold->log >= 0) {
        close(hold->log);
    }
    hold->file = nullptr;
    hold->log = -1;
}

static void free_hold(LogHold* hold) {
    const int error = errno;
    close_held_log(hold);
    if (hold->side >= 0) {
        platform_hold_interrupts();
        unlinkat(hold->directory, hold->side_entry, 0);
        guard_side(-1, nullptr);
        platform_release_interrupts();
        close(hold->side);
    }
    if (hold->directory >= 0) {
        close(hold->directory);
    }
    std::free(hold);
    errno = error;
}

static bool cannot_write_folder(int error) {
    return error == EACCES || error == EROFS || error == EPERM;
}

static int hold_round(LogHold* hold, const char* name_base, HoldReport* report) {
    int result = open_held_log(hold);
    if (result == 0 && name_base != nullptr) {
        result = take_side_file(hold, name_base, report);
        // A log in order needs no side file: in a folder this run cannot
        // write, it is still read and found in order.
        if (result == -1 && cannot_write_folder(errno)) {
            hold->side_error = errno;
            result = 0;
        }
        report->side_failed = result == -1;
    }
    return result;
}

int hold_log(const char* path, const char* name_base, LogHold** out, HoldReport* report) {
    *out = nullptr;
    report->squatted[0] = '\0';
    report->finished_backup = false;
    report->side_failed = false;
    if (platform_fail_if_injected(OP_OPEN)) {
        return -1;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    auto* hold = static_cast<LogHold*>(std::calloc(1, sizeof(LogHold)));
    if (hold == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    hold->log = -1;
    hold->side = -1;
    hold->directory = open_folder(name, hold->entry);
    if (hold->directory < 0) {
        free_hold(hold);
        return -1;
    }
    for (int round = 0; round < HOLD_ROUNDS; ++round) {
        const int result = hold_round(hold, name_base, report);
        if (result != 0) {
            free_hold(hold);
            return result;
        }
        // The side file is ours: the name now stays with the log we hold.
        if (names_held_log(hold, hold->entry)) {
            FILE* stream = fdopen(hold->log, "rb");
            hold->file = stream != nullptr ? platform_wrap_read_stream(stream) : nullptr;
            if (hold->file == nullptr) {
                if (stream == nullptr) {
                    close(hold->log);
                }
                drop_lease(hold->log);
                hold->log = -1;
                free_hold(hold);
                return -1;
            }
            *out = hold;
            return 0;
        }
        close_held_log(hold);
        if (hold->side >= 0) {
            unlinkat(hold->directory, hold->side_entry, 0);
            guard_side(-1, nullptr);
            close(hold->side);
            hold->side = -1;
        }
    }
    free_hold(hold);
    errno = EAGAIN;
    return -1;
}

PlatformFile* held_log_file(LogHold* hold) {
    return hold->file;
}

const char* held_side_name(LogHold* hold) {
    if (hold->side < 0) {
        errno = hold->side_error != 0 ? hold->side_error : EBADF;
        return nullptr;
    }
    if (hold->offered) {
        return hold->side_path;
    }
    hold->offered = true;
    const int fd = dup(hold->side);
    FILE* stream = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (stream == nullptr) {
        if (fd >= 0) close(fd);
        return hold->side_path;
    }
    platform_offer_new(stream, hold->side_path);
    return hold->side_path;
}

static int64_t modified_of(const struct stat& status) {
    return static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
           static_cast<int64_t>(status.st_mtim.tv_nsec);
}

int held_log_unchanged(LogHold* hold, const PlatformFileIdentity* indexed) {
    hold->checked = *indexed;
    struct stat held, named;
    if (platform_fail_if_injected(OP_STATUS)) {
        return -1;
    }
    if (fstat(hold->log, &held) != 0 ||
        fstatat(hold->directory, hold->entry, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return -1;
    }
    if (!same_inode(held, named) || held.st_size != indexed->size ||
        modified_of(held) != indexed->modified) {
        errno = ESTALE;
        return -1;
    }
    if (!lease_holds(hold->log)) {
        errno = EBUSY;
        return -1;
    }
    return 0;
}

int identify_in_held_folder(LogHold* hold, const char* name, PlatformFileIdentity* identity) {
    struct stat status;
    if (fstatat(hold->directory, last_component(name), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return -1;
    }
    identity->device = static_cast<uint64_t>(status.st_dev);
    identity->file_id = static_cast<uint64_t>(status.st_ino);
    identity->size = static_cast<int64_t>(status.st_size);
    identity->modified = modified_of(status);
    identity->mode = static_cast<uint32_t>(status.st_mode & 07777);
    identity->owner = static_cast<uint32_t>(status.st_uid);
    identity->group = static_cast<uint32_t>(status.st_gid);
    return 0;
}

// --- Exact permissions -------------------------------------------------------------------

#ifdef __linux__
// The names of `fd`'s extended attributes in a heap block (free it): any
// number of them, never a silently shortened list.
static char* attribute_names(int fd, ssize_t* length) {
    for (int tries = 0; tries < 4; ++tries) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) {
            if (errno == ENOTSUP || errno == EOPNOTSUPP) {
                *length = 0;
                return static_cast<char*>(std::malloc(1));
            }
            return nullptr;
        }
        char* names = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
        if (names == nullptr) {
            return nullptr;
        }
        *length = flistxattr(fd, names, static_cast<size_t>(size));
        if (*length >= 0) {
            return names;
        }
        std::free(names);
        if (errno != ERANGE) {
            return nullptr;
        }
    }
    return nullptr;
}

static bool is_own_record(const char* name) {
    return std::strcmp(name, BACKUP_RECORD) == 0 || std::strcmp(name, SIDE_RECORD) == 0;
}

// What the side file has that the log lacks goes, but for its own mark.
static bool remove_attributes_not_in(int log, int side) {
    ssize_t length = 0;
    char* names = attribute_names(side, &length);
    if (names == nullptr) {
        return false;
    }
    bool removed = true;
    for (ssize_t at = 0; removed && at < length;
         at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        const char* name = names + at;
        if (std::strcmp(name, SIDE_RECORD) != 0 && fgetxattr(log, name, nullptr, 0) < 0 &&
            errno == ENODATA) {
            removed = fremovexattr(side, name) == 0 || errno == ENODATA;
        }
    }
    std::free(names);
    return removed;
}

static bool copy_attribute(int from, int to, const char* name) {
    const ssize_t size = fgetxattr(from, name, nullptr, 0);
    if (size < 0) {
        return errno == ENODATA;
    }
    char* value = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
    if (value == nullptr) {
        return false;
    }
    const ssize_t got = fgetxattr(from, name, value, static_cast<size_t>(size));
    const bool copied = got >= 0 && fsetxattr(to, name, value, static_cast<size_t>(got), 0) == 0;
    std::free(value);
    return copied;
}

// Every attribute of the log (its access list among them), none it lacks:
// an access list inherited from the folder's default one goes.
static bool copy_extended_attributes(int from, int to) {
    if (!remove_attributes_not_in(from, to)) {
        return false;
    }
    ssize_t length = 0;
    char* names = attribute_names(from, &length);
    if (names == nullptr) {
        return false;
    }
    bool copied = true;
    for (ssize_t at = 0; copied && at < length;
         at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        copied = is_own_record(names + at) || copy_attribute(from, to, names + at);
    }
    std::free(names);
    return copied;
}
#else
static bool copy_extended_attributes(int, int) {
    return true;
}
#endif

// The owner first: a change of owner may clear the set-id bits. A log whose
// owner or group this run cannot give the new log is not replaced.
static int copy_permissions(int from, int to) {
    struct stat wanted, own;
    if (fstat(from, &wanted) != 0 || fstat(to, &own) != 0) {
        return -1;
    }
    if ((own.st_uid != wanted.st_uid || own.st_gid != wanted.st_gid) &&
        fchown(to, wanted.st_uid, wanted.st_gid) != 0) {
        errno = EPERM;
        return -1;
    }
    if (fchmod(to, wanted.st_mode & 07777) != 0 || !copy_extended_attributes(from, to) ||
        fchmod(to, wanted.st_mode & 07777) != 0) {
        return -1;
    }
    return 0;
}

int seal_side_file(LogHold* hold) {
    if (platform_fail_if_injected(OP_SYNC)) {
        return -1;
    }
    if (copy_permissions(hold->log, hold->side) != 0) {
        return -1;
    }
    return fsync(hold->side) == 0 ? 0 : -1;
}

// --- Commit -------------------------------------------------------------------------------

// Swaps two names of the held folder in one step (Linux renameat2 with
// RENAME_EXCHANGE); -1 with EINVAL or ENOSYS where it cannot.
static int exchange_names(int directory, const char* a, const char* b) {
    if (platform_fail_if_injected(OP_EXCHANGE)) {
        return -1;
    }
#if defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned RENAME_EXCHANGE_FLAG = 2;
    return static_cast<int>(
        syscall(SYS_renameat2, directory, a, directory, b, RENAME_EXCHANGE_FLAG));
#else
    (void)directory;
    (void)a;
    (void)b;
    errno = ENOSYS;
    return -1;
#endif
}

static bool cannot_exchange(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// Immutable or append-only: no rename, link or swap will touch it.
static bool is_locked_file(int fd) {
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
    int flags = 0;
    return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
#else
    (void)fd;
    return false;
#endif
}

static CommitOutcome kept(CommitReport* report, CommitOutcome outcome, int error) {
    report->outcome = outcome;
    report->error = error;
    return outcome;
}

// A ".BAK" made from another log (the record names it) is not replaced; one
// that is the held log's own file already holds the log.
static CommitOutcome check_backup(LogHold* hold, const char* backup, bool* needed,
                                  CommitReport* report) {
    *needed = true;
    struct stat status;
    if (fstatat(hold->directory, backup, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? COMMIT_DONE : kept(report, COMMIT_KEPT, errno);
    }
    if (names_held_log(hold, backup)) {
        *needed = false;
        return COMMIT_DONE;
    }
    if (!S_ISREG(status.st_mode)) {
        return COMMIT_DONE;
    }
    const int fd = openat(hold->directory, backup, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    char record[NAME_MAX + 1];
    const bool recorded = fd >= 0 && read_record(fd, BACKUP_RECORD, record);
    if (fd >= 0) close(fd);
    if (recorded && !same_name_ignoring_case(record, hold->entry)) {
        std::memcpy(report->foreign, record, std::strlen(record) + 1);
        return kept(report, COMMIT_FOREIGN_BACKUP, EEXIST);
    }
    return COMMIT_DONE;
}

// The old log leaves its name last of all: with a backup it becomes the
// ".BAK", without one it is removed.
static CommitOutcome retire_old_log(LogHold* hold, const char* old_name, const char* backup,
                                    CommitReport* report) {
    if (backup == nullptr) {
        if (platform_fail_if_injected(OP_REMOVE) || unlinkat(hold->directory, old_name, 0) != 0) {
            report->side_left = true;
            report->error = errno;
        }
        return COMMIT_DONE;
    }
    if (platform_fail_if_injected(OP_RENAME) ||
        renameat(hold->directory, old_name, hold->directory, backup) != 0) {
        return kept(report, COMMIT_KEPT, errno);
    }
    return COMMIT_DONE;
}

// Where names can be swapped: the new log in, the file swapped out checked
// to be the held log (an editor's save a moment before is swapped back,
// never lost), then the old log out; a failure there swaps back.
static CommitOutcome swap_in(LogHold* hold, const char* backup, CommitReport* report) {
    if (!names_held_log(hold, hold->side_entry) || !lease_holds(hold->log)) {
        exchange_names(hold->directory, hold->side_entry, hold->entry);
        return kept(report, COMMIT_KEPT, ESTALE);
    }
    guard_side(-1, nullptr);
    hold->committed = true;
    const CommitOutcome retired = retire_old_log(hold, hold->side_entry, backup, report);
    if (retired != COMMIT_DONE) {
        if (exchange_names(hold->directory, hold->side_entry, hold->entry) != 0) {
            // The new log stays; the old one keeps the side name.
            report->side_left = true;
            return COMMIT_DONE;
        }
        hold->committed = false;
        guard_side(hold->directory, hold->side_entry);
    }
    return retired;
}

static bool lacks_hard_links(int error) {
    return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS ||
           error == EMLINK;
}

// The held log's content, owner and permissions into `copy` (closed here),
// whole and on disk.
static bool copy_held_log_into(LogHold* hold, int copy) {
    char buffer[64 * 1024];
    bool copied = ftruncate(copy, 0) == 0;
    for (off_t at = 0; copied;) {
        const ssize_t got = pread(hold->log, buffer, sizeof buffer, at);
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        copied = write(copy, buffer, static_cast<size_t>(got)) == got;
        at += got;
    }
    copied = copied && copy_permissions(hold->log, copy) == 0 && fsync(copy) == 0;
    const int error = errno;
    if (close(copy) != 0 && copied) {
        return false;
    }
    errno = error;
    return copied;
}

// A free side name for the old log where names cannot be swapped: a second
// name (a hard link), or where the file system has none, a copy on disk.
static int spare_of_log(LogHold* hold, char* spare) {
    for (int attempt = 1; attempt < SIDE_NAME_ATTEMPTS; ++attempt) {
        if (side_entry_name(hold->side_entry, attempt, spare) != 0) {
            return -1;
        }
        if (same_name_ignoring_case(spare, hold->side_entry) ||
            same_name_ignoring_case(spare, hold->entry)) {
            continue;
        }
        if (!platform_fail_if_injected(OP_LINK) &&
            linkat(hold->directory, hold->entry, hold->directory, spare, 0) == 0) {
            if (names_held_log(hold, spare)) {
                return 0;
            }
            unlinkat(hold->directory, spare, 0);
            errno = ESTALE;
            return -1;
        }
        if (errno == EEXIST) {
            continue;
        }
        if (!lacks_hard_links(errno)) {
            return -1;
        }
        const int copy = openat(hold->directory, spare,
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (copy < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        if (!copy_held_log_into(hold, copy)) {
            unlinkat(hold->directory, spare, 0);
            return -1;
        }
        return 0;
    }
    errno = EEXIST;
    return -1;
}

// Without a swap (exFAT, vfat, some network file systems): the old log gets
// a spare name first, the lease, identity and size are checked right before
// the rename, and a failed backup puts the old log back.
static CommitOutcome rename_in(LogHold* hold, const char* backup, CommitReport* report) {
    char spare[NAME_MAX + 1];
    if (spare_of_log(hold, spare) != 0) {
        return kept(report, COMMIT_KEPT, errno);
    }
    PlatformFileIdentity indexed = hold->checked;
    if (held_log_unchanged(hold, &indexed) != 0 || platform_fail_if_injected(OP_RENAME) ||
        renameat(hold->directory, hold->side_entry, hold->directory, hold->entry) != 0) {
        const int error = errno;
        unlinkat(hold->directory, spare, 0);
        return kept(report, COMMIT_KEPT, error);
    }
    guard_side(-1, nullptr);
    hold->committed = true;
    // A writer in the instant between the check and the rename wrote to the
    // old log, which has only the spare name (a link) or none (a copy was
    // made): its content, with what was written, goes back under the name.
    struct stat held;
    if (!lease_holds(hold->log) || fstat(hold->log, &held) != 0 || held.st_size != indexed.size ||
        modified_of(held) != indexed.modified) {
        const bool linked = names_held_log(hold, spare);
        const int copy =
            linked ? -1 : openat(hold->directory, spare, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if ((linked || (copy >= 0 && copy_held_log_into(hold, copy))) &&
            renameat(hold->directory, spare, hold->directory, hold->entry) == 0) {
            return kept(report, COMMIT_KEPT, ESTALE);
        }
        report->side_left = true;
        return COMMIT_DONE;
    }
    const CommitOutcome retired = retire_old_log(hold, spare, backup, report);
    if (retired != COMMIT_DONE &&
        renameat(hold->directory, spare, hold->directory, hold->entry) != 0) {
        report->side_left = true;
        return COMMIT_DONE;
    }
    return retired;
}

static CommitOutcome put_in_place(LogHold* hold, const char* backup, CommitReport* report) {
    if (platform_fail_if_injected(OP_RENAME)) {
        return kept(report, COMMIT_KEPT, errno);
    }
    if (backup != nullptr) {
        write_record(hold->log, BACKUP_RECORD, hold->entry);
    }
    if (exchange_names(hold->directory, hold->side_entry, hold->entry) == 0) {
        return swap_in(hold, backup, report);
    }
    if (!cannot_exchange(errno)) {
        return kept(report, COMMIT_KEPT, errno);
    }
    return rename_in(hold, backup, report);
}

CommitOutcome commit_side_file(LogHold* hold, const char* backup, CommitReport* report) {
    std::memset(report, 0, sizeof *report);
    report->outcome = COMMIT_KEPT;
    if (is_locked_file(hold->log)) {
        return kept(report, COMMIT_LOCKED_LOG, EPERM);
    }
    const char* backup_entry = backup != nullptr ? last_component(backup) : nullptr;
    if (backup_entry != nullptr) {
        bool needed = true;
        if (check_backup(hold, backup_entry, &needed, report) != COMMIT_DONE) {
            return report->outcome;
        }
        backup_entry = needed ? backup_entry : nullptr;
    }
    // From here to the folder's sync a run ends before the replace or after
    // it is on disk, never in between.
    platform_hold_interrupts();
    CommitOutcome outcome = put_in_place(hold, backup_entry, report);
    // The new log keeps no mark of having been a side file; taken off only
    // now, so that another run never sees a live side file without one.
    if (hold->committed) {
        remove_record(hold->side, SIDE_RECORD);
    }
    if (outcome == COMMIT_DONE &&
        (platform_fail_if_injected(OP_SYNC) || (fsync(hold->directory) != 0 && errno != EINVAL))) {
        report->error = errno;
        outcome = COMMIT_NOT_SYNCED;
    }
    report->outcome = outcome;
    platform_release_interrupts();
    return outcome;
}

int release_hold(LogHold* hold, char* side_left) {
    int result = 0;
    side_left[0] = '\0';
    close_held_log(hold);
    if (hold->side >= 0 && !hold->committed) {
        platform_hold_interrupts();
        if (platform_fail_if_injected(OP_REMOVE) ||
            unlinkat(hold->directory, hold->side_entry, 0) != 0) {
            result = -1;
            std::memcpy(side_left, hold->side_path, std::strlen(hold->side_path) + 1);
        }
        guard_side(-1, nullptr);
        platform_release_interrupts();
    }
    const int error = errno;
    platform_drop_new();
    if (hold->side >= 0) {
        close(hold->side);
    }
    close(hold->directory);
    std::free(hold);
    errno = error;
    return result;
}

// --- A log held for reading alone (--check) ------------------------------------------------

int platform_open_log(const char* path, PlatformFile** log) {
    if (platform_fail_if_injected(OP_OPEN)) {
        return -1;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    LogHold hold = {};
    hold.side = -1;
    hold.directory = open_folder(name, hold.entry);
    if (hold.directory < 0) {
        return -1;
    }
    const int result = open_held_log(&hold);
    const int error = errno;
    close(hold.directory);
    if (result != 0) {
        errno = error;
        return result;
    }
    FILE* stream = fdopen(hold.log, "rb");
    *log = stream != nullptr ? platform_wrap_read_stream(stream) : nullptr;
    if (*log == nullptr) {
        if (stream == nullptr) close(hold.log);
        return -1;
    }
    return 0;
}

int platform_log_undisturbed(PlatformFile* log) {
    if (!lease_holds(fileno(platform_stream_of(log)))) {
        errno = EBUSY;
        return -1;
    }
    return 0;
}
