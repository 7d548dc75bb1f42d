// How a name given by the user reaches a file of the host system. Windows file
// systems already ignore letter case; on POSIX each path component is matched
// exactly if possible, else by the one entry equal to it ignoring ASCII case.
#pragma once

#include <cstddef>
#include <cstdint>

// Name of the existing file `path` refers to. 0, or -1 with errno set.
int resolve_existing_name(const char* path, char* resolved, size_t size);
// Name under which a file called `path` is to be created: directories
// resolved, the final name kept unless an entry equal to it ignoring case
// exists. 0, or -1 with errno set.
int resolve_new_name(const char* path, char* resolved, size_t size);
// A name for the interrupt guard, resolved beforehand into a buffer of
// NAME_BUFFER_SIZE bytes; null or empty gives an empty name.
int resolve_guard_name(const char* path, char* resolved);
#ifndef _WIN32
// Whether names are Shift_JIS text (the locale's encoding), whose second byte
// of a character may look like an ASCII letter and is never folded: asked of
// `length` bytes of a name, which the answer changes only if one is past ASCII.
bool names_are_sjis(const char* name, size_t length);
#endif

#include <cstdio>
struct PlatformFile;
#include "platform/platform.h"
// Creates `name` (already resolved) as a new file for binary writing, never
// through a symbolic link; null with EEXIST when the name is taken.
FILE* open_new_stream(const char* name);
// Opens `name` (already resolved) for binary reading. (Windows lets the file
// be removed meanwhile: an interrupt removes a side file being synced.)
FILE* open_read_stream(const char* name);
// Reads up to `size` bytes at `offset` of a stream from open_read_stream,
// without moving through the stream's own position: one system call where a
// seek and a read would take two. Fewer bytes only at the end of the file;
// sets *failed on an error.
size_t read_stream_at(FILE* stream, int64_t offset, char* buffer, size_t size, bool* failed);
// Hands the stream of a file just created as `path` (a path that fits
// NAME_BUFFER_SIZE) to the next platform_open_write of that same `path`.
void platform_offer_new(FILE* stream, const char* path);
// The log's stream, opened by the platform, as a file to read; closes the
// stream and gives null when out of memory.
PlatformFile* platform_wrap_read_stream(FILE* stream);
// True, with errno set, when the test seam fails this operation.
bool platform_fail_if_injected(PlatformOperation operation);
// Writes `pieces` after what `stream` holds, at the stream's place; 0, or -1
// with errno set. The stream's own position is then its file's end.
int write_gathered(FILE* stream, const PlatformPiece* pieces, int count);
// The stdio stream under a file, for the platform's own sync.
FILE* platform_stream_of(PlatformFile* file);
// The file size as a signed 32-bit value, the way Windows reports it.
int32_t fold_file_size(int64_t size);
// The system's answer behind get_disk_free_bytes, after the test seam.
int query_free_bytes(const char* root, const char* path, uint64_t* free_bytes);
// False once a view of the held log lost its pages to a program that
// shortened the log (POSIX; the copy made from it must not be used).
bool platform_views_intact();
// A newly held log starts with its views intact.
void platform_forget_lost_views();
// PLATFORM_WORKING_MEMORY bytes that the system may back with one large
// page, aligned to that size; null where it cannot.
char* map_large_page_block();
// A file being closed takes with it any view of it kept for reuse.
void platform_forget_views_of(PlatformFile* file);
