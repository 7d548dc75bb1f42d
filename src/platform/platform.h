// Host file-system services. Every file access of zembra goes through here, so
// that POSIX gets the Windows semantics the log job relies on (a rename that
// never replaces its target, case-insensitive and case-preserving names) and
// tests can make any single operation fail.
//
// Failures return -1 (or null) with errno set; callers print strerror(errno).
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
// MAX_PATH (260) plus room for an appended ".BAK".
constexpr int NAME_BUFFER_SIZE = 264;
constexpr const char PATH_SEPARATORS[] = "\\/";
constexpr const char PLATFORM_WORD[] = "WIN32";
constexpr const char SWITCH_MARKS[] = "-/";
#else
#include <climits>
constexpr int NAME_BUFFER_SIZE = PATH_MAX + 8;
constexpr const char PATH_SEPARATORS[] = "/";
constexpr const char PLATFORM_WORD[] = "POSIX";
// "/" begins an absolute path here, so only "-" marks a switch.
constexpr const char SWITCH_MARKS[] = "-";
#endif
// Drive-letter paths and the "Drive Not Ready!" check work the same on both.

struct PlatformFile;

// Binary streams. open_write creates the file or empties an existing one.
PlatformFile* platform_open_read(const char* path);
PlatformFile* platform_open_write(const char* path);
// Reads like fgets with a buffer of `size` bytes: up to and including the next
// '\n', at most size - 1 bytes, then a NUL. Returns the bytes read (NULs inside
// the line count), 0 at the end of the file, -1 on a read error.
int platform_read_line(PlatformFile* file, char* buffer, int size);
// Reads up to `size` bytes: the count, 0 at the end of the file, -1 on a read
// error. Fewer than `size` only at the end of the file.
int64_t platform_read_block(PlatformFile* file, char* buffer, size_t size);
// Position of the next byte to be read, or -1.
int64_t platform_tell(PlatformFile* file);
// Moves to `offset` bytes from the start. 0 or -1.
int platform_seek(PlatformFile* file, int64_t offset);
int platform_write(PlatformFile* file, const char* data, size_t length);
int platform_flush(PlatformFile* file);
// Flushes and forces the file's content to stable storage.
int platform_sync(PlatformFile* file);
// Always releases the stream; -1 when a pending write failed.
int platform_close(PlatformFile* file);
// Forces the content of the file called `path` to stable storage.
int platform_sync_named(const char* path);

// Status query of an existing regular file: its size as a signed 32-bit value
// (a file of 2 GiB or more arrives negative). Directories and devices fail.
int platform_file_size(const char* path, int32_t* size);
int platform_file_exists(const char* path);  // 1 or 0
int platform_remove(const char* path);
// Never replaces an existing target; across file systems it copies and deletes.
int platform_rename(const char* from, const char* to);
// 1 when both names reach the same file, 0 when not, -1 when either fails.
int platform_same_file(const char* a, const char* b);

// Free bytes the calling user may write on the volume of `root` ("C:\" style),
// or, for a null root, on the current drive: on POSIX the file system that
// holds the directory of `path`. Nonzero on success; writes *free_bytes only then.
int get_disk_free_bytes(const char* root, const char* path, uint64_t* free_bytes);

// Test seam: the operations counted, and a way to make the n-th fail.
enum PlatformOperation {
    OP_OPEN,
    OP_READ,
    OP_WRITE,
    OP_FLUSH,
    OP_SYNC,
    OP_CLOSE,
    OP_SEEK,
    OP_TELL,
    OP_STATUS,
    OP_EXISTS,
    OP_REMOVE,
    OP_RENAME,
    OP_FREE_SPACE,
};
// From now on, operation number `n` (1-based, counted across all kinds) fails
// with `error`; n = 0 turns injection off. Resets the count.
void platform_fail_operation(long n, int error);
long platform_operation_count();
// Called by every operation; returns the errno to fail with, or 0.
int platform_injected_failure(PlatformOperation operation);
