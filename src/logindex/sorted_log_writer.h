#pragma once

#include "logindex/log_format.h"
#include "platform/platform.h"

// Writes the sorted log to `log_path` from the log `source` (read, never
// changed; `source_name` names it in messages). Returns 0 when the whole log
// was written, -1 after any open, read, write, flush or close failure
// (reported on standard error). `spans`, when the indexer's for this index
// (else null), spare finding the lines of the messages it found whole.
// Where the source may be mapped, it is, in windows of `window_size` bytes (a
// multiple of PLATFORM_VIEW_ALIGNMENT; tests make them small).
constexpr size_t LOG_WINDOW_SIZE = 64 * 1024 * 1024;
int write_sorted_log_from(PlatformFile* source, const char* source_name, const char* log_path,
                          const MessageIndexEntry* index, int count,
                          const MessageSpans* spans = nullptr,
                          size_t window_size = LOG_WINDOW_SIZE);
// The same pass without writing: 0 when the sorted log would be the log byte
// for byte, 1 when it would differ, -1 after a reported read error. It stops
// at the first byte that differs.
int compare_sorted_log(PlatformFile* source, const char* source_name,
                       const MessageIndexEntry* index, int count,
                       const MessageSpans* spans = nullptr, size_t window_size = LOG_WINDOW_SIZE);
// write_sorted_log_from with the source opened by name.
int write_sorted_log(const char* saved_path, const char* log_path, const MessageIndexEntry* index,
                     int count);
