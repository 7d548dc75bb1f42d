// Windows side of the platform layer. The file system already ignores letter
// case, so most of this is the C runtime plus a translation of Win32 error
// codes to errno; the log being rewritten is held against writers by its
// share mode and replaced with ReplaceFileA.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/platform_win32.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "match/sjis_bytes.h"
#include "platform/platform.h"
#include "platform/platform_names.h"

// The C runtime would otherwise expand "a*.log" before main sees it; the
// program expands patterns itself (platform_expand_pattern), so that one that
// matches nothing is still reported by name.
extern "C" {
int _dowildcard = 0;
}

unsigned long sectors_per_cluster = 0;
unsigned long bytes_per_sector = 0;
unsigned long free_clusters = 0;
unsigned long total_clusters = 0;

// Callers print strerror(errno), so Win32 failures need an errno. A log held
// open by an editor is a sharing violation: "Permission denied" says more to
// the user than "Input/output error".
static int errno_from_win32(DWORD error) {
    switch (error) {
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_INVALID_NAME:
            return EINVAL;
        default:
            return EIO;
    }
}

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

int platform_disk_name(const char* path, char* name, size_t size) {
    return copy_name(path, name, size);
}

int resolve_new_name(const char* path, char* resolved, size_t size) {
    return copy_name(path, resolved, size);
}

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The attributes SetFileAttributesA takes; it refuses NORMAL with any other.
constexpr DWORD SETTABLE_ATTRIBUTES = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_TEMPORARY;

// Sets or clears the read-only attribute of the file of `handle`, through a
// second handle: the first may lack the right to change attributes.
static BOOL set_read_only(HANDLE handle, bool read_only) {
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        return FALSE;
    }
    DWORD wanted = read_only ? basic.FileAttributes | FILE_ATTRIBUTE_READONLY
                             : basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (wanted == basic.FileAttributes) {
        return TRUE;
    }
    HANDLE attributes = ReOpenFile(handle, FILE_WRITE_ATTRIBUTES, SHARE_ALL, 0);
    if (attributes == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    // Zero times are left as they are; zero attributes would be too.
    FILE_BASIC_INFO changed = {};
    changed.FileAttributes = wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL;
    BOOL set = SetFileInformationByHandle(attributes, FileBasicInfo, &changed, sizeof changed);
    DWORD error = GetLastError();
    CloseHandle(attributes);
    SetLastError(error);
    return set;
}

static bool is_read_only(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Flushes through a writable handle to the file of `handle`. A read-only file
// refuses one, so the attribute is lifted for the flush and put back.
static BOOL flush_reopened(HANDLE handle) {
    HANDLE writable = ReOpenFile(handle, GENERIC_WRITE, SHARE_ALL, 0);
    if (writable != INVALID_HANDLE_VALUE) {
        BOOL flushed = FlushFileBuffers(writable);
        DWORD error = GetLastError();
        CloseHandle(writable);
        SetLastError(error);
        return flushed;
    }
    DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED || !is_read_only(handle)) {
        SetLastError(error);
        return FALSE;
    }
    if (!set_read_only(handle, false)) {
        return FALSE;
    }
    BOOL flushed = flush_reopened(handle);
    error = GetLastError();
    set_read_only(handle, true);
    SetLastError(error);
    return flushed;
}

// FlushFileBuffers needs write access, which a stream opened for reading lacks;
// then a second, writable handle to the same file flushes it. (The log job
// syncs a finished log through a read stream before removing its only other
// copy.)
static int flush_file(int descriptor) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    if (handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    if (FlushFileBuffers(handle)) {
        return 0;
    }
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        if (flush_reopened(handle)) {
            return 0;
        }
        error = GetLastError();
    }
    errno = errno_from_win32(error);
    return -1;
}

int platform_sync(PlatformFile* file) {
    if (platform_fail_if_injected(OP_SYNC)) {
        return -1;
    }
    FILE* stream = platform_stream_of(file);
    if (std::fflush(stream) != 0 || flush_file(_fileno(stream)) != 0) {
        return -1;
    }
    return 0;
}

// A C runtime stream over `handle`, which it then owns; null, with the
// handle closed, on failure.
static FILE* stream_over(HANDLE handle, int flags, const char* mode) {
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        errno = EMFILE;
        return nullptr;
    }
    FILE* stream = _fdopen(descriptor, mode);
    if (stream == nullptr) {
        int error = errno;
        _close(descriptor);
        errno = error;
    }
    return stream;
}

// CREATE_NEW refuses any existing name, as O_EXCL does; with the reparse point
// flag a symbolic link counts as taken rather than leading elsewhere. Nobody
// else may open the file while it is written, but it may be deleted: the
// interrupt guard removes a partial new log the writer still holds.
FILE* open_new_stream(const char* name) {
    HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        return nullptr;
    }
    FILE* stream = stream_over(handle, _O_WRONLY, "wb");
    if (stream == nullptr) {
        int error = errno;
        DeleteFileA(name);
        errno = error;
    }
    return stream;
}

// fopen would share reading and writing only; a side file being read (synced)
// must stay removable by the interrupt handler.
FILE* open_read_stream(const char* name) {
    HANDLE handle = CreateFileA(name, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        return nullptr;
    }
    return stream_over(handle, _O_RDONLY, "rb");
}

// ReadFile at an offset of its own leaves the stream's position alone.
size_t read_stream_at(FILE* stream, int64_t offset, char* buffer, size_t size, bool* failed) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    size_t got = 0;
    while (got < size) {
        const uint64_t at = static_cast<uint64_t>(offset) + got;
        OVERLAPPED position = {};
        position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        const size_t left = size - got;
        DWORD part = 0;
        if (!ReadFile(handle, buffer + got,
                      left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left), &part,
                      &position)) {
            DWORD error = GetLastError();
            *failed = error != ERROR_HANDLE_EOF;
            if (*failed) {
                errno = errno_from_win32(error);
            }
            break;
        }
        if (part == 0) {
            break;
        }
        got += part;
    }
    return got;
}

// The length check of the names is all the resolving Windows needs.
static int status_of(const char* path, struct _stat64* status) {
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    return _stat64(name, status);
}

int platform_file_size(const char* path, int32_t* size) {
    if (platform_fail_if_injected(OP_STATUS)) {
        return -1;
    }
    struct _stat64 status;
    if (status_of(path, &status) != 0) {
        return -1;
    }
    if ((status.st_mode & _S_IFMT) == _S_IFDIR) {
        errno = EISDIR;
        return -1;
    }
    // Devices such as NUL and CON have no size to compare with free space.
    if ((status.st_mode & _S_IFMT) != _S_IFREG) {
        errno = EINVAL;
        return -1;
    }
    *size = fold_file_size(static_cast<int64_t>(status.st_size));
    return 0;
}

int platform_remove(const char* path) {
    if (platform_fail_if_injected(OP_REMOVE)) {
        return -1;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    if (std::remove(name) == 0) {
        return 0;
    }
    int error = errno;
    // As unlink does, whatever the read-only attribute says: the job removes
    // only its own side file and the temporary copy of a log it has just
    // rewritten, and both are read-only when the log was.
    DWORD attributes = GetFileAttributesA(name);
    if (error == EACCES && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
            FILE_ATTRIBUTE_READONLY) {
        DWORD writable = attributes & SETTABLE_ATTRIBUTES & ~FILE_ATTRIBUTE_READONLY;
        if (SetFileAttributesA(name, writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL)) {
            if (std::remove(name) == 0) {
                return 0;
            }
            error = errno;
            SetFileAttributesA(name, attributes & SETTABLE_ATTRIBUTES);
        }
    }
    errno = error;
    return -1;
}

// Volume serial number and file index identify a file on Windows, as device
// and inode do on POSIX.
// With `of_link`, a symbolic link is identified itself rather than its target.
static bool identify_file(const char* path, BY_HANDLE_FILE_INFORMATION* info,
                          bool of_link = false) {
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return false;
    }
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (of_link ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle = CreateFileA(name, 0, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        return false;
    }
    bool known = GetFileInformationByHandle(handle, info) != 0;
    if (!known) {
        errno = errno_from_win32(GetLastError());
    }
    CloseHandle(handle);
    return known;
}

static bool is_same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

int platform_same_file(const char* a, const char* b) {
    if (platform_fail_if_injected(OP_STATUS)) {
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION first, second;
    if (!identify_file(a, &first) || !identify_file(b, &second)) {
        return -1;
    }
    return is_same_file(first, second) ? 1 : 0;
}

using DiskFreeSpaceExFunction = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                              PULARGE_INTEGER);

// Looked up at every query rather than linked: systems before Windows 95 OSR2
// lack the call, and the cluster product is all they offer.
static DiskFreeSpaceExFunction find_disk_free_space_ex() {
    if (platform_fail_if_injected(OP_FREE_SPACE_EX)) {
        return nullptr;
    }
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<DiskFreeSpaceExFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetDiskFreeSpaceExA")));
}

// `path` locates the current drive on POSIX only; a null root already means
// the current drive here.
int query_free_bytes(const char* root, const char* path, uint64_t* free_bytes) {
    (void)path;
    DiskFreeSpaceExFunction disk_free_space_ex = find_disk_free_space_ex();
    if (disk_free_space_ex != nullptr) {
        ULARGE_INTEGER available, total;
        BOOL result = disk_free_space_ex(root, &available, &total, nullptr);
        if (result) {
            *free_bytes = available.QuadPart;
        } else {
            errno = errno_from_win32(GetLastError());
        }
        return result;
    }
    BOOL result = GetDiskFreeSpaceA(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                                    &total_clusters);
    if (result) {
        uint64_t cluster_bytes = uint64_t{sectors_per_cluster} * bytes_per_sector;
        *free_bytes = cluster_bytes * free_clusters;
    } else {
        errno = errno_from_win32(GetLastError());
    }
    return result;
}

// --- Directory sync, identity, attributes --------------------------------------------

// NTFS journals renames and creations; FAT offers no way to force them.
int platform_sync_directory(const char* path) {
    (void)path;
    return platform_fail_if_injected(OP_SYNC) ? -1 : 0;
}

// The file system itself ignores letter case: a name is always unique.
int platform_name_is_unique(const char* path) {
    (void)path;
    return 1;
}

// Symbolic links (reparse points) are not followed here: identified as
// themselves, they never pass for the log that was indexed through them.
int platform_link_target(const char* path, char* target, size_t size) {
    return copy_name(path, target, size);
}

static void identity_from(const BY_HANDLE_FILE_INFORMATION& info, PlatformFileIdentity* identity) {
    identity->device = info.dwVolumeSerialNumber;
    identity->file_id = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    identity->size = static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    identity->modified = static_cast<int64_t>(
        (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime);
    identity->mode = info.dwFileAttributes;
    identity->owner = 0;
    identity->group = 0;
}

int platform_identify(PlatformFile* file, PlatformFileIdentity* identity) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(platform_stream_of(file))));
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    if (!GetFileInformationByHandle(handle, &info)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    identity_from(info, identity);
    return 0;
}

int platform_identify_named(const char* path, PlatformFileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!identify_file(path, &info, true)) {
        return -1;
    }
    identity_from(info, identity);
    return 0;
}

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
// has no locks (some network ones: such a log runs unguarded), -2 when busy.
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
        return -2;
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
    // FNV-1a over the name as the file system compares it.
    uint64_t hash = 14695981039346656037ull;
    for (const char* p = full; *p != '\0'; ++p) {
        char c = *p >= 'a' && *p <= 'z' ? static_cast<char>(*p - 'a' + 'A') : *p;
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
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
// backup gets the log's name too, by a hard link or a copy (-2). The state
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
    return -2;
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
            return error == ERROR_SHARING_VIOLATION ? -2 : -1;
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

// --- Console -----------------------------------------------------------------------

TerminalKind platform_error_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? TERMINAL_CONSOLE : TERMINAL_NONE;
}

// Messages are a line or two; a longer text goes in parts that end between
// characters.
int platform_write_console(const char* text, size_t length) {
    constexpr size_t PART = 1024;
    wchar_t wide[PART];
    while (length > 0) {
        size_t bytes = 0;
        while (bytes < length && bytes < PART - 1) {
            bytes += is_sjis_lead_byte(static_cast<unsigned char>(text[bytes])) ? 2 : 1;
        }
        bytes = bytes > length ? length : bytes;
        const int units = MultiByteToWideChar(932, 0, text, static_cast<int>(bytes), wide,
                                              static_cast<int>(PART));
        DWORD written = 0;
        if (units <= 0 || !WriteConsoleW(GetStdHandle(STD_ERROR_HANDLE), wide,
                                         static_cast<DWORD>(units), &written, nullptr)) {
            errno = errno_from_win32(GetLastError());
            return -1;
        }
        text += bytes;
        length -= bytes;
    }
    return 0;
}

// --- Wildcards -----------------------------------------------------------------------

static unsigned char folded(unsigned char c) {
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c & ~0x20) : c;
}

// Bytes of the character at `s`: 2 for a Shift_JIS double-byte character.
static int character_length(const char* s) {
    return is_sjis_lead_byte(static_cast<unsigned char>(s[0])) && s[1] != '\0' ? 2 : 1;
}

static bool same_character(const char* a, const char* b, int length) {
    return length == 1
               ? folded(static_cast<unsigned char>(*a)) == folded(static_cast<unsigned char>(*b))
               : a[0] == b[0] && a[1] == b[1];
}

// FindFirstFileA also matches the short 8.3 names ("*.LOG" finds
// "a.logfile" through "A~1.LOG"); each long name is matched again here with
// the rules of a POSIX shell, ignoring letter case. A "*" that fails is
// retried one character further on.
static bool name_matches(const char* pattern, const char* name) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        const int length = character_length(name);
        if (*pattern == '*') {
            star = ++pattern;
            resume = name;
        } else if (*pattern == '?' || (*pattern != '\0' && character_length(pattern) == length &&
                                       same_character(pattern, name, length))) {
            pattern += *pattern == '?' ? 1 : length;
            name += length;
        } else if (star != nullptr) {
            pattern = star;
            resume += character_length(resume);
            name = resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') {
        ++pattern;
    }
    return *pattern == '\0';
}

// Appends `folder` + `name` and its NUL to the block; false when it cannot grow.
static bool append_name(char** block, size_t* used, size_t* room, const char* folder,
                        size_t folder_length, const char* name) {
    const size_t length = folder_length + std::strlen(name) + 1;
    if (*used + length > *room) {
        size_t grown = *room * 2 + length;
        char* bigger = static_cast<char*>(std::realloc(*block, grown));
        if (bigger == nullptr) {
            errno = ENOMEM;
            return false;
        }
        *block = bigger;
        *room = grown;
    }
    std::memcpy(*block + *used, folder, folder_length);
    std::memcpy(*block + *used + folder_length, name, length - folder_length);
    *used += length;
    return true;
}

int platform_expand_pattern(const char* pattern, char** names) {
    *names = nullptr;
    const char* last_part = pattern;
    for (const char* p = pattern; *p != '\0'; p += character_length(p)) {
        if (*p == '\\' || *p == '/' || (*p == ':' && p == pattern + 1)) {
            last_part = p + 1;
        }
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    constexpr DWORD LEFT_OUT =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    size_t used = 0;
    size_t room = 0;
    int count = 0;
    do {
        if ((found.dwFileAttributes & LEFT_OUT) != 0 || !name_matches(last_part, found.cFileName)) {
            continue;
        }
        if (!append_name(names, &used, &room, pattern, static_cast<size_t>(last_part - pattern),
                         found.cFileName)) {
            FindClose(search);
            std::free(*names);
            *names = nullptr;
            return -1;
        }
        ++count;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

int platform_pattern_matches(const char*) {
    return 0;
}

// The Shift_JIS rule: the byte after a lead byte is never a letter.
void platform_upper_case_name(char* name) {
    for (; *name != '\0'; ++name) {
        if (is_sjis_lead_byte(static_cast<unsigned char>(*name))) {
            if (name[1] == '\0') {
                break;
            }
            ++name;
        } else if (*name >= 'a' && *name <= 'z') {
            *name = static_cast<char>(*name - 'a' + 'A');
        }
    }
}

int platform_text_to_utf8(const char*, const char*, char*, size_t) {
    errno = ENOSYS;
    return -1;
}
