#pragma once

#include "logindex/log_format.h"
#include "platform/platform.h"

// Writes the sorted log from the saved copy under a free name beside the log,
// created exclusively, and renames it onto the log's (free) name once whole
// and on disk; puts the saved copy back on failure. With `indexed`, the saved
// copy must still be that file, and the new log gets its owner and mode.
// 0 when written, -1 when the log was put back, -2 when it could not be
// (reported; the saved copy then holds the only copy and must be kept).
int finish_rewrite(const char* saved_name, const char* log_name, const MessageIndexEntry* index,
                   int count, const PlatformFileIdentity* indexed);

// Moves the indexed log `log_name` aside (to its ".BAK", or with -B to a
// temporary), sorts the `count` entries, rewrites the log and, with -B,
// removes the temporary. `shown_name` is the name the user sees. 0 when the
// writing step was reached, -1 when the log was left as it was.
int rewrite_log(const char* log_name, const char* shown_name, MessageIndex index, int count);

// With backup: 1 when `log_name` is a file this run has already written or
// moved to a ".BAK", or its ".BAK" is one this run made: rewriting it would
// replace the backup just made. 0 otherwise, and always without backup.
int is_already_processed(const char* log_name);
// Forgets the files of an earlier run (called once per command line).
void forget_processed_files();
