#pragma once

#include "logindex/log_format.h"

// Writes the sorted log to `log_path` from the saved copy. Returns 0 when the
// whole log was written, -1 after any open, read, write, flush or close failure
// (reported on standard error).
int write_sorted_log(const char* saved_path, const char* log_path, const MessageIndexEntry* index,
                     int count);
