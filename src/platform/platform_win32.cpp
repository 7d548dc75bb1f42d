// Windows side of the platform layer. The file system already ignores letter
// case, so most of this is the C runtime plus a translation of Win32 error
// codes to errno. The log being rewritten, held against writers by its share
// mode and replaced with ReplaceFileA, is platform_replace_win32.cpp's.
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
#include "platform/platform_win32_files.h"

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
int errno_from_win32(DWORD error) {
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

// Sets or clears the read-only attribute of the file of `handle`, through a
// second handle: the first may lack the right to change attributes.
BOOL set_read_only(HANDLE handle, bool read_only) {
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

bool is_read_only(HANDLE handle) {
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
FILE* stream_over(HANDLE handle, int flags, const char* mode) {
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
    // only its own side file and the old content of a log it has just
    // replaced, and both are read-only when the log was.
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
bool identify_file(const char* path, BY_HANDLE_FILE_INFORMATION* info, bool of_link) {
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

bool is_same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
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

// --- Console -----------------------------------------------------------------------

TerminalKind platform_error_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? TERMINAL_CONSOLE : TERMINAL_NONE;
}

// The C library's stream copies them; Windows gathers nothing here.
int write_gathered(FILE* stream, const PlatformPiece* pieces, int count) {
    for (int i = 0; i < count; ++i) {
        if (std::fwrite(pieces[i].bytes, 1, pieces[i].length, stream) != pieces[i].length) {
            return -1;
        }
    }
    return 0;
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

// Bytes of the character at `s`: 2 for a Shift_JIS double-byte character.
static int character_length(const char* s) {
    return is_sjis_lead_byte(static_cast<unsigned char>(s[0])) && s[1] != '\0' ? 2 : 1;
}

static bool same_character(const char* a, const char* b, int length) {
    return length == 1 ? ascii_upper(static_cast<unsigned char>(*a)) ==
                             ascii_upper(static_cast<unsigned char>(*b))
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
    upper_case_name(name);
}

int platform_text_to_utf8(const char*, const char*, char*, size_t) {
    errno = ENOSYS;
    return -1;
}
