// Windows side of the platform layer. The file system already ignores letter
// case, and MoveFileA already refuses to replace its target, so most of this
// is the C runtime plus a translation of Win32 error codes to errno.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/platform_win32.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/platform_names.h"

// The C runtime would otherwise expand "a*.log" before main sees it; the
// program reports wildcards itself.
extern "C" {
int _dowildcard = 0;
}

unsigned long sectors_per_cluster = 0;
unsigned long bytes_per_sector = 0;
unsigned long free_clusters = 0;
unsigned long total_clusters = 0;
bool force_free_space_fallback = false;

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

int resolve_new_name(const char* path, char* resolved, size_t size) {
    return copy_name(path, resolved, size);
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
        HANDLE writable = ReOpenFile(handle, GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        if (writable != INVALID_HANDLE_VALUE) {
            BOOL flushed = FlushFileBuffers(writable);
            error = GetLastError();
            CloseHandle(writable);
            if (flushed) {
                return 0;
            }
        } else {
            error = GetLastError();
        }
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

// CREATE_NEW refuses any existing name, as O_EXCL does.
FILE* open_new_stream(const char* name) {
    HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        return nullptr;
    }
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    if (descriptor < 0) {
        CloseHandle(handle);
        DeleteFileA(name);
        errno = EIO;
        return nullptr;
    }
    FILE* stream = _fdopen(descriptor, "wb");
    if (stream == nullptr) {
        _close(descriptor);
        DeleteFileA(name);
    }
    return stream;
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
    // 2 GiB or more arrives negative; past 4 GiB the low 32 bits alone could
    // look small, so the sign is kept.
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
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return 0;
    }
    return _access(name, 0) == 0 ? 1 : 0;
}

int platform_remove(const char* path) {
    if (platform_fail_if_injected(OP_REMOVE)) {
        return -1;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    return std::remove(name) == 0 ? 0 : -1;
}

// MoveFileA never replaces its target and copies across volumes by itself.
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
    if (!MoveFileA(source, target)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    return 0;
}

// Volume serial number and file index identify a file on Windows, as device
// and inode do on POSIX.
static bool identify_file(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return false;
    }
    HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

int platform_same_file(const char* a, const char* b) {
    if (platform_fail_if_injected(OP_STATUS)) {
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION first, second;
    if (!identify_file(a, &first) || !identify_file(b, &second)) {
        return -1;
    }
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
                   first.nFileIndexHigh == second.nFileIndexHigh &&
                   first.nFileIndexLow == second.nFileIndexLow
               ? 1
               : 0;
}

using DiskFreeSpaceExFunction = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                              PULARGE_INTEGER);

// Looked up at every query rather than linked: systems before Windows 95 OSR2
// lack the call, and the cluster product is all they offer.
static DiskFreeSpaceExFunction find_disk_free_space_ex() {
    if (force_free_space_fallback) {
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
int get_disk_free_bytes(const char* root, const char* path, uint64_t* free_bytes) {
    (void)path;
    if (platform_fail_if_injected(OP_FREE_SPACE)) {
        return 0;
    }
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

// --- Replacing rename, identity, permissions -----------------------------------------

int platform_replace(const char* from, const char* to) {
    if (platform_fail_if_injected(OP_RENAME)) {
        return -1;
    }
    char source[NAME_BUFFER_SIZE];
    char target[NAME_BUFFER_SIZE];
    if (resolve_existing_name(from, source, sizeof source) != 0 ||
        resolve_new_name(to, target, sizeof target) != 0) {
        return -1;
    }
    if (!MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    return 0;
}

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

// Not yet: symbolic links (reparse points) are taken as the file they lead
// to by the calls below, and renames move the link itself.
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
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) {
        errno = EBADF;
        return -1;
    }
    identity_from(info, identity);
    return 0;
}

int platform_identify_named(const char* path, PlatformFileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!identify_file(path, &info)) {
        return -1;
    }
    identity_from(info, identity);
    return 0;
}

// Not yet: the new log keeps the attributes it was created with.
int platform_copy_owner_and_mode(const char* path, const PlatformFileIdentity* from) {
    (void)path;
    (void)from;
    return 0;
}

// --- Lock between runs (not yet: every run proceeds) ------------------------------------

int platform_lock_file(const char* path) {
    (void)path;
    return 0;
}

void platform_unlock_file() {}

// --- Interrupts during a rewrite (not yet: an interrupt ends the run as before) ----------

int platform_guard_names(const char* log, const char* saved, const char* side) {
    (void)log;
    (void)saved;
    (void)side;
    return 0;
}

void platform_guard_step(RewriteStep step) {
    (void)step;
}

void platform_hold_interrupts() {}

void platform_release_interrupts() {}
