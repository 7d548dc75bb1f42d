// Windows home of the replace (platform_replace.h): the log held unshared
// for writing, the side file, ReplaceFileA (which puts the new log in place
// before the old backup goes, and keeps the log's attributes and ACLs), the
// console guard, and the record of which log a ".BAK" holds, kept in an NTFS
// stream of the ".BAK" where the volume has streams.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "match/sjis_bytes.h"
#include "platform/platform.h"
#include "platform/platform_names.h"
#include "platform/platform_replace.h"
#include "platform/platform_win32.h"
#include "platform/platform_win32_files.h"

// --- The log being rewritten -----------------------------------------------------------

namespace {

// The locked byte lies far past any log (they stay below 2 GiB) and past what
// NTFS can store (16 TiB).
constexpr DWORD LOCK_LENGTH = 1;
// A run that finishes between our open and our lock leaves its new log under
// the name; then the lock is taken again on that file. Each round needs a
// whole run of the other process, so a few are plenty.
constexpr int LOCK_ROUNDS = 8;
// How long a run waits for another to finish its replace step, which takes
// milliseconds; a run stopped in it must not hang this one forever.
constexpr DWORD BACKUP_TURN_WAIT_MS = 30 * 1000;

HANDLE handle_of(PlatformFile* file) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(platform_stream_of(file))));
}

// Another zembra run holds this byte. 0 when locked or when the file system
// has no locks (some network ones: such a log runs unguarded), PLATFORM_BUSY.
int lock_run(HANDLE handle) {
    OVERLAPPED position = {};
    position.Offset = LOCK_OFFSET_LOW;
    position.OffsetHigh = LOCK_OFFSET_HIGH;
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, LOCK_LENGTH, 0,
                   &position)) {
        return 0;
    }
    DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION) {
        errno = EBUSY;
        return PLATFORM_BUSY;
    }
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) {
        return 0;
    }
    errno = errno_from_win32(error);
    return -1;
}

// True when `name` still reaches the held file.
bool is_held_file(const BY_HANDLE_FILE_INFORMATION& held, const char* name) {
    BY_HANDLE_FILE_INFORMATION named;
    return identify_file(name, &named) && is_same_file(held, named);
}

bool names_held_file(HANDLE handle, const char* name) {
    BY_HANDLE_FILE_INFORMATION held;
    return GetFileInformationByHandle(handle, &held) && is_held_file(held, name);
}

// `name` with its final part as the directory spells it, so that the
// replaced log keeps the letter case the user gave it.
int spell_as_on_disk(char* name, size_t size) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(name, &found);
    if (search == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    FindClose(search);
    // A separator byte may be the second byte of a Shift_JIS character.
    char* final_part = name;
    for (char* p = name; *p != '\0'; ++p) {
        if (is_sjis_lead_byte(static_cast<unsigned char>(*p)) && p[1] != '\0') {
            ++p;
        } else if (*p == '\\' || *p == '/' || *p == ':') {
            final_part = p + 1;
        }
    }
    const size_t length = std::strlen(found.cFileName);
    if (static_cast<size_t>(final_part - name) + length + 1 > size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(final_part, found.cFileName, length + 1);
    return 0;
}

// Logs that share a backup name (FORUM.LOG, FORUM.TXT) take their replace
// steps one after the other: a mutex named after the backup's full path. A
// run that ended holding it leaves it abandoned, which still grants it.
HANDLE take_backup_turn(const char* backup) {
    char full[NAME_BUFFER_SIZE];
    DWORD length = GetFullPathNameA(backup, sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) {
        errno = length == 0 ? errno_from_win32(GetLastError()) : ENAMETOOLONG;
        return nullptr;
    }
    // FNV-1a over the name as the file system compares it. Every byte is
    // folded, a trail byte too: names that differ only there share a turn,
    // which costs a wait, never a backup, whatever the code page.
    uint64_t hash = 14695981039346656037ull;
    for (const char* p = full; *p != '\0'; ++p) {
        hash = (hash ^ ascii_upper(static_cast<unsigned char>(*p))) * 1099511628211ull;
    }
    char mutex_name[40];
    std::snprintf(mutex_name, sizeof mutex_name, "Local\\zembra-%016llx",
                  static_cast<unsigned long long>(hash));
    HANDLE turn = CreateMutexA(nullptr, FALSE, mutex_name);
    if (turn == nullptr) {
        errno = errno_from_win32(GetLastError());
        return nullptr;
    }
    DWORD waited = WaitForSingleObject(turn, BACKUP_TURN_WAIT_MS);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        return turn;
    }
    CloseHandle(turn);
    errno = EBUSY;
    return nullptr;
}

void end_backup_turn(HANDLE turn) {
    int error = errno;
    ReleaseMutex(turn);
    CloseHandle(turn);
    errno = error;
}

// Gives the file called `name` the read-only attribute.
void mark_read_only(const char* name) {
    DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesA(name, (attributes & SETTABLE_ATTRIBUTES) | FILE_ATTRIBUTE_READONLY);
    }
}

// Closes the log's own handle (and so its lock) while the stream over it
// stays valid for the caller's platform_close: the descriptor is pointed at
// NUL instead. A file held open cannot be replaced by MoveFileExA.
int let_go_of(PlatformFile* log) {
    int nul = _open("NUL", _O_RDONLY | _O_BINARY);
    if (nul < 0) {
        return -1;
    }
    int result = _dup2(nul, _fileno(platform_stream_of(log)));
    int error = errno;
    _close(nul);
    errno = error;
    return result;
}

// After ReplaceFileA failed, what its steps left. ERROR_UNABLE_TO_REMOVE_REPLACED
// and ERROR_UNABLE_TO_MOVE_REPLACEMENT (with a backup) leave both files under
// their names, like every failure before its first step: -1.
// ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 leaves the old log as the backup and the
// log's name empty: the new log is moved in after all (0), or else the
// backup gets the log's name too, by a hard link or a copy (REPLACE_LEFT_BACKUP). The state
// is read from the files rather than from the code, which not every system
// reports alike.
int after_failed_replace(const BY_HANDLE_FILE_INFORMATION& held, const char* new_log,
                         const char* log_name, const char* backup_name, DWORD error) {
    if (GetFileAttributesA(log_name) != INVALID_FILE_ATTRIBUTES ||
        !is_held_file(held, backup_name)) {
        errno = errno_from_win32(error);
        return -1;
    }
    if (MoveFileExA(new_log, log_name, MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    error = GetLastError();
    if (!CreateHardLinkA(log_name, backup_name, nullptr)) {
        CopyFileA(backup_name, log_name, TRUE);
    }
    errno = errno_from_win32(error);
    return REPLACE_LEFT_BACKUP;
}

BOOL replace_file(const char* new_log, const char* log_name, const char* backup_name) {
    return ReplaceFileA(log_name, new_log, backup_name, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                        nullptr);
}

// ReplaceFileA moves the old log to the backup's name (replacing an older
// backup) and the new log to the log's name, giving it the log's attributes
// and ACLs. Wine does so while we hold the log, shared for deletion; a
// system that opens the log for writing in it meets our share mode (a
// sharing violation, nothing changed), and is given a second try with the
// log let go of. A read-only log refuses to be replaced: the attribute is
// lifted for the step and put back on both files afterwards.
int replace_keeping_backup(PlatformFile* log, const char* new_log, const char* log_name,
                           const char* backup_name) {
    const HANDLE handle = handle_of(log);
    BY_HANDLE_FILE_INFORMATION held;
    if (!GetFileInformationByHandle(handle, &held)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    if (!is_held_file(held, log_name)) {
        errno = ESTALE;
        return -1;
    }
    if (platform_fail_if_injected(OP_RENAME)) {
        return -1;
    }
    const bool read_only = (held.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only && !set_read_only(handle, false)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    int result = 0;
    BOOL replaced = replace_file(new_log, log_name, backup_name);
    if (!replaced && GetLastError() == ERROR_SHARING_VIOLATION && is_held_file(held, log_name) &&
        let_go_of(log) == 0) {
        replaced = replace_file(new_log, log_name, backup_name);
    }
    if (!replaced) {
        result = after_failed_replace(held, new_log, log_name, backup_name, GetLastError());
    }
    // By name: Wine reopens a handle by the name it was opened with.
    if (read_only) {
        int error = errno;
        mark_read_only(result == -1 ? log_name : backup_name);
        if (result != -1) {
            mark_read_only(log_name);
        }
        errno = error;
    }
    return result;
}

// Without a backup the new log replaces the log by name, in one step. The
// log has to be let go of first: a writer that opens it in the instant
// before the move either stops the move (nothing changed) or writes to the
// old file.
int replace_dropping_log(PlatformFile* log, const char* new_log, const char* log_name) {
    HANDLE held = handle_of(log);
    if (!names_held_file(held, log_name)) {
        errno = ESTALE;
        return -1;
    }
    if (platform_fail_if_injected(OP_RENAME)) {
        return -1;
    }
    const bool read_only = is_read_only(held);
    if (read_only && !set_read_only(held, false)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    int result = 0;
    if (let_go_of(log) != 0) {
        result = -1;
    } else if (!MoveFileExA(new_log, log_name,
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        errno = errno_from_win32(GetLastError());
        result = -1;
    }
    // The old log if the move failed, else the new one.
    if (read_only) {
        int error = errno;
        mark_read_only(log_name);
        errno = error;
    }
    return result;
}

}  // namespace

int platform_open_log(const char* path, PlatformFile** log) {
    if (platform_fail_if_injected(OP_OPEN)) {
        return -1;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    for (int round = 0; round < LOCK_ROUNDS; ++round) {
        // Never shared for writing: a program that has the log open for
        // writing makes this open fail, and none can open it so after.
        HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            errno = error == ERROR_SHARING_VIOLATION ? EBUSY : errno_from_win32(error);
            return error == ERROR_SHARING_VIOLATION ? PLATFORM_BUSY : -1;
        }
        int locked = lock_run(handle);
        if (locked != 0) {
            int error = errno;
            CloseHandle(handle);
            errno = error;
            return locked;
        }
        if (!names_held_file(handle, name)) {
            CloseHandle(handle);
            continue;
        }
        FILE* stream = stream_over(handle, _O_RDONLY, "rb");
        *log = stream != nullptr ? platform_wrap_read_stream(stream) : nullptr;
        return *log != nullptr ? 0 : -1;
    }
    errno = EAGAIN;
    return -1;
}

// The share mode already keeps writers out.
int platform_log_undisturbed(PlatformFile* log) {
    (void)log;
    return 0;
}

// ReplaceFileA gives the new log the log's attributes and ACLs; where it
// does not (Wine), the hidden, system and archive marks are given here. The
// read-only one waits for the replace: a read-only side file could not be
// moved by it.
int platform_copy_attributes(PlatformFile* log, const char* path) {
    char name[NAME_BUFFER_SIZE];
    BY_HANDLE_FILE_INFORMATION info;
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    if (!GetFileInformationByHandle(handle_of(log), &info)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    DWORD wanted = info.dwFileAttributes & SETTABLE_ATTRIBUTES & ~FILE_ATTRIBUTE_READONLY;
    if (!SetFileAttributesA(name, wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    return 0;
}

// `spare` is not needed: ReplaceFileA makes the backup without a second name.
int platform_replace_log(PlatformFile* log, const char* replacement, const char* target,
                         const char* backup, const char* spare) {
    (void)spare;
    char new_log[NAME_BUFFER_SIZE];
    char log_name[NAME_BUFFER_SIZE];
    char backup_name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(replacement, new_log, sizeof new_log) != 0 ||
        resolve_existing_name(target, log_name, sizeof log_name) != 0) {
        return -1;
    }
    if (spell_as_on_disk(log_name, sizeof log_name) != 0) {
        errno = errno == ENOENT ? ESTALE : errno;
        return -1;
    }
    if (backup == nullptr) {
        return replace_dropping_log(log, new_log, log_name);
    }
    if (resolve_new_name(backup, backup_name, sizeof backup_name) != 0) {
        return -1;
    }
    HANDLE turn = take_backup_turn(backup_name);
    if (turn == nullptr) {
        return -1;
    }
    int result = replace_keeping_backup(log, new_log, log_name, backup_name);
    end_backup_turn(turn);
    return result;
}

// --- Interrupts during a rewrite -------------------------------------------------------

namespace {

// Taken by the main thread across a creation or a replace and the guard's
// record of it, and by the console handler, which runs on a thread of its own
// and never lets go.
CRITICAL_SECTION guard_lock;
bool guard_lock_ready = false;
bool handler_installed = false;
// The full path, resolved beforehand: the handler only deletes.
char guard_side[NAME_BUFFER_SIZE];

// The main thread makes it before the handler exists.
void ready_guard_lock() {
    if (!guard_lock_ready) {
        InitializeCriticalSection(&guard_lock);
        guard_lock_ready = true;
    }
}

// Removes the partial new log, then ends the process as Ctrl-C does
// (STATUS_CONTROL_C_EXIT). The log itself is whole under its name at every
// instant. TerminateProcess rather than ExitProcess: the main thread keeps
// running until it waits for the lock, and the runtime's exit code would
// flush streams it may be using.
BOOL WINAPI remove_side_file(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    EnterCriticalSection(&guard_lock);
    if (guard_side[0] != '\0') {
        DeleteFileA(guard_side);
    }
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

}  // namespace

// No "insert a disk" box for a drive without one: the run reports it.
void platform_start_run() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

// Holds nest (the critical section counts them too); a release without a
// hold is ignored rather than left undefined.
static int hold_depth = 0;

void platform_hold_interrupts() {
    ready_guard_lock();
    EnterCriticalSection(&guard_lock);
    ++hold_depth;
}

void platform_release_interrupts() {
    if (hold_depth > 0) {
        --hold_depth;
        LeaveCriticalSection(&guard_lock);
    }
}

int platform_guard_side_file(const char* side) {
    platform_hold_interrupts();
    if (!handler_installed) {
        handler_installed = SetConsoleCtrlHandler(remove_side_file, TRUE) != 0;
    }
    char resolved[NAME_BUFFER_SIZE];
    int result = resolve_guard_name(side, resolved);
    if (result != 0 || resolved[0] == '\0') {
        guard_side[0] = '\0';
    } else {
        DWORD length = GetFullPathNameA(resolved, sizeof guard_side, guard_side, nullptr);
        if (length == 0 || length >= sizeof guard_side) {
            std::memcpy(guard_side, resolved, std::strlen(resolved) + 1);
        }
    }
    int error = errno;
    platform_release_interrupts();
    errno = error;
    return result;
}

namespace {

constexpr int SIDE_NAME_ATTEMPTS = 100;
constexpr const char BACKUP_STREAM[] = ":zembra.log";

}  // namespace

struct LogHold {
    PlatformFile* file;
    bool committed;
    bool side_made;
    int side_error;  // why there is no side file: a folder this run cannot write
    char log_name[NAME_BUFFER_SIZE];
    char side[NAME_BUFFER_SIZE];
};

static const char* last_component(const char* path) {
    const char* last = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (is_sjis_lead_byte(static_cast<unsigned char>(*p)) && p[1] != '\0') {
            ++p;
        } else if (*p == '\\' || *p == '/' || *p == ':') {
            last = p + 1;
        }
    }
    return last;
}

static bool same_name_ignoring_case(const char* a, const char* b) {
    return lstrcmpiA(a, b) == 0;
}

// `name` with the extension of its last component replaced.
static int with_extension(const char* name, const char* extension, char* out) {
    const char* base = last_component(name);
    size_t dot = std::strlen(name);
    bool after_lead = false;
    for (const char* p = base; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (!after_lead && c == '.') {
            dot = static_cast<size_t>(p - name);
        }
        after_lead = !after_lead && is_sjis_lead_byte(c);
    }
    if (dot + std::strlen(extension) + 1 > NAME_BUFFER_SIZE) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(out, name, dot);
    std::memcpy(out + dot, extension, std::strlen(extension) + 1);
    return 0;
}

static int create_side(LogHold* hold, const char* name_base, HoldReport* report) {
    for (int attempt = 0; attempt < SIDE_NAME_ATTEMPTS; ++attempt) {
        char extension[8];
        std::snprintf(extension, sizeof extension, attempt == 0 ? ".$$$" : ".$%02d", attempt);
        char side[NAME_BUFFER_SIZE];
        if (with_extension(name_base, extension, side) != 0) {
            return -1;
        }
        if (same_name_ignoring_case(last_component(side), last_component(hold->log_name))) {
            continue;
        }
        platform_hold_interrupts();
        const int created = platform_create_new(side);
        const int error = errno;
        if (created == 0) {
            platform_guard_side_file(side);
        }
        platform_release_interrupts();
        if (created == 0) {
            std::memcpy(hold->side, side, std::strlen(side) + 1);
            hold->side_made = true;
            return 0;
        }
        if (error != EEXIST) {
            errno = error;
            return -1;
        }
        const size_t used = std::strlen(report->squatted);
        const char* shown = last_component(side);
        if (used + std::strlen(shown) + 3 < sizeof report->squatted) {
            std::snprintf(report->squatted + used, sizeof report->squatted - used, "%s%s",
                          used > 0 ? ", " : "", shown);
        }
    }
    errno = EEXIST;
    return -1;
}

int hold_log(const char* path, const char* name_base, LogHold** out, HoldReport* report) {
    *out = nullptr;
    report->squatted[0] = '\0';
    report->finished_backup = false;
    report->side_failed = false;
    auto* hold = static_cast<LogHold*>(std::calloc(1, sizeof(LogHold)));
    if (hold == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    if (std::strlen(path) + 1 > sizeof hold->log_name) {
        std::free(hold);
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(hold->log_name, path, std::strlen(path) + 1);
    int result = platform_open_log(path, &hold->file);
    if (result == 0 && name_base != nullptr) {
        result = create_side(hold, name_base, report);
        // A log in order needs no side file: in a folder this run cannot
        // write, it is still read and found in order.
        if (result == -1 && (errno == EACCES || errno == EROFS)) {
            hold->side_error = errno;
            result = 0;
        }
        report->side_failed = result == -1;
    }
    if (result != 0) {
        const int error = errno;
        if (hold->file != nullptr) {
            platform_close(hold->file);
        }
        std::free(hold);
        errno = error;
        return result;
    }
    *out = hold;
    return 0;
}

PlatformFile* held_log_file(LogHold* hold) {
    return hold->file;
}

// platform_create_new keeps the file for the writer's open of this name.
const char* held_side_name(LogHold* hold) {
    if (!hold->side_made) {
        errno = hold->side_error != 0 ? hold->side_error : EBADF;
        return nullptr;
    }
    return hold->side;
}

int held_log_unchanged(LogHold* hold, const PlatformFileIdentity* indexed) {
    PlatformFileIdentity held, named;
    if (platform_identify(hold->file, &held) != 0 ||
        platform_identify_named(hold->log_name, &named) != 0) {
        return -1;
    }
    if (named.device != held.device || named.file_id != held.file_id ||
        held.size != indexed->size || held.modified != indexed->modified) {
        errno = ESTALE;
        return -1;
    }
    return platform_log_undisturbed(hold->file);
}

// Names on Windows are the log's folder and the name given.
int identify_in_held_folder(LogHold* hold, const char* name, PlatformFileIdentity* identity) {
    (void)hold;
    return platform_identify_named(name, identity);
}

int seal_side_file(LogHold* hold) {
    platform_drop_new();
    if (platform_copy_attributes(hold->file, hold->side) != 0 ||
        platform_sync_named(hold->side) != 0) {
        return -1;
    }
    return 0;
}

// Only a volume with named streams (NTFS) can keep the record; elsewhere
// (FAT, and Wine, which would make "NAME:STREAM" an ordinary file) there is
// none.
static bool has_streams(const char* path) {
    char root[NAME_BUFFER_SIZE];
    DWORD flags = 0;
    return GetVolumePathNameA(path, root, sizeof root) &&
           GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_NAMED_STREAMS) != 0;
}

// The record: the log's name in a stream of the ".BAK".
static bool read_record(const char* backup, char* record, size_t size) {
    if (!has_streams(backup)) {
        return false;
    }
    char stream[NAME_BUFFER_SIZE + sizeof BACKUP_STREAM];
    std::snprintf(stream, sizeof stream, "%s%s", backup, BACKUP_STREAM);
    HANDLE handle = CreateFileA(stream, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD got = 0;
    const BOOL read = ReadFile(handle, record, static_cast<DWORD>(size - 1), &got, nullptr);
    CloseHandle(handle);
    record[read ? got : 0] = '\0';
    return read && got > 0;
}

// Best effort: FAT has no streams, and then there is no record.
static void write_record(const char* backup, const char* log_entry) {
    if (!has_streams(backup)) {
        return;
    }
    char stream[NAME_BUFFER_SIZE + sizeof BACKUP_STREAM];
    std::snprintf(stream, sizeof stream, "%s%s", backup, BACKUP_STREAM);
    HANDLE handle = CreateFileA(stream, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(handle, log_entry, static_cast<DWORD>(std::strlen(log_entry)), &written, nullptr);
    CloseHandle(handle);
}

CommitOutcome commit_side_file(LogHold* hold, const char* backup, CommitReport* report) {
    std::memset(report, 0, sizeof *report);
    report->outcome = COMMIT_KEPT;
    const char* entry = last_component(hold->log_name);
    if (backup != nullptr) {
        if (platform_same_file(hold->log_name, backup) == 1) {
            backup = nullptr;
        } else {
            char record[NAME_BUFFER_SIZE];
            if (read_record(backup, record, sizeof record) &&
                !same_name_ignoring_case(record, entry)) {
                std::memcpy(report->foreign, record, std::strlen(record) + 1);
                report->outcome = COMMIT_FOREIGN_BACKUP;
                report->error = EEXIST;
                return report->outcome;
            }
        }
    }
    platform_hold_interrupts();
    const int replaced =
        platform_replace_log(hold->file, hold->side, hold->log_name, backup, nullptr);
    report->error = errno;
    if (replaced == 0 || replaced == REPLACE_LEFT_BACKUP) {
        platform_guard_side_file(nullptr);
        hold->committed = true;
    }
    if (replaced == 0) {
        if (backup != nullptr) {
            write_record(backup, entry);
        }
        report->outcome = COMMIT_DONE;
        if (platform_sync_directory(hold->log_name) != 0) {
            report->error = errno;
            report->outcome = COMMIT_NOT_SYNCED;
        }
    }
    platform_release_interrupts();
    errno = report->error;
    return report->outcome;
}

int release_hold(LogHold* hold, char* side_left) {
    int result = 0;
    side_left[0] = '\0';
    platform_drop_new();
    if (hold->file != nullptr) {
        platform_close(hold->file);
    }
    if (hold->side_made && !hold->committed) {
        platform_hold_interrupts();
        result = platform_remove(hold->side);
        if (result != 0) {
            std::memcpy(side_left, hold->side, std::strlen(hold->side) + 1);
        }
        platform_guard_side_file(nullptr);
        platform_release_interrupts();
    }
    const int error = errno;
    std::free(hold);
    errno = error;
    return result;
}
