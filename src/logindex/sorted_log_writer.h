#pragma once

#include "logindex/log_indexer.h"
#include "platform/platform.h"

// Writes the sorted log to `log_path` from the log `source` (read, never
// changed; `source_name` names it in messages), the indexed log's entries
// sorted. Returns 0 when the whole log was written, -1 after any open, read,
// write, flush or close failure (reported on standard error). The spans, when
// the indexer's for these entries, spare finding the lines of the messages it
// found whole.
// Where the source may be mapped and `window_size` is not 0, it is, in
// windows of that many bytes (a multiple of PLATFORM_VIEW_ALIGNMENT; tests
// make them small). A write maps each window whole at once, so that copying
// a message costs neither a system call nor a page fault; a log too large
// for the windows is read past them.
constexpr size_t LOG_WINDOW_SIZE = 64 * 1024 * 1024;
// Where the source is read, the kept messages next in sorted order are read
// ahead into a room, in file order, neighbours in one read: a few large reads
// in place of one for each message. `room` null: the run's room, READ_AHEAD_SIZE
// bytes of its working memory, taken the first time a log of many kept
// messages is read (a large page costs some 0.1-0.3 ms, which only hundreds
// of reads saved repay), and never past the usual index room (the run's own
// memory would pass 4 MiB with a large index beside it). Without a room
// (memory null, or too small to hold a message), each message is read alone.
struct ReadAheadRoom {
    void* memory;
    size_t size;
};
constexpr size_t READ_AHEAD_SIZE = 1536 * 1024;
// Kept messages are written many at once, up to this many bytes a call (one
// message longer than that alone). On the virtual machines measured, calls
// of 25 MB (256 messages of 100 KB) made the kernel's copy into the new file
// take two to four times as long in most runs of a 256 MB log (0.5 to 0.9 s
// against 0.22 to 0.3 s, the same with calls of 256 KiB to 2 MiB).
constexpr size_t MOST_GATHERED_BYTES = 1024 * 1024;
int write_sorted_log_from(PlatformFile* source, const char* source_name, const char* log_path,
                          const IndexedLog& indexed, const RunOptions& options,
                          size_t window_size = LOG_WINDOW_SIZE,
                          const ReadAheadRoom* room = nullptr);
// The same pass without writing: 0 when the sorted log would be the log byte
// for byte, 1 when it would differ, -1 after a reported read error. It stops
// at the first byte that differs.
int compare_sorted_log(PlatformFile* source, const char* source_name, const IndexedLog& indexed,
                       const RunOptions& options, size_t window_size = LOG_WINDOW_SIZE);
