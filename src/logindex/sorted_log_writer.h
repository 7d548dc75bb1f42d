#pragma once

#include "logindex/log_format.h"
#include "platform/platform.h"

// Writes the sorted log to `log_path` from the log `source` (read, never
// changed; `source_name` names it in messages). Returns 0 when the whole log
// was written, -1 after any open, read, write, flush or close failure
// (reported on standard error). `spans`, when the indexer's for this index
// (else null), spare finding the lines of the messages it found whole.
// Where the source may be mapped and `window_size` is not 0, it is, in
// windows of that many bytes (a multiple of PLATFORM_VIEW_ALIGNMENT; tests
// make them small). The product's write reads instead: on the two-core
// virtual machines measured, faulting in the mapped pages of the messages
// copied cost more than one read per kept message (7.7 MB log, every message
// about 3 times: 1.37 times the floor mapped, 1.08 read), while the
// comparison with the log, which touches no page of a log in order, gains
// from it (0.37 times the floor mapped, 0.57 read).
constexpr size_t LOG_WINDOW_SIZE = 64 * 1024 * 1024;
int write_sorted_log_from(PlatformFile* source, const char* source_name, const char* log_path,
                          const MessageIndexEntry* index, int count,
                          const MessageSpans* spans = nullptr, size_t window_size = 0);
// The same pass without writing: 0 when the sorted log would be the log byte
// for byte, 1 when it would differ, -1 after a reported read error. It stops
// at the first byte that differs.
int compare_sorted_log(PlatformFile* source, const char* source_name,
                       const MessageIndexEntry* index, int count,
                       const MessageSpans* spans = nullptr, size_t window_size = LOG_WINDOW_SIZE);
// write_sorted_log_from with the source opened by name.
int write_sorted_log(const char* source_path, const char* log_path, const MessageIndexEntry* index,
                     int count);
