#pragma once

#include "logindex/log_format.h"
#include "platform/platform.h"
#include "platform/platform_replace.h"

// Sorts the `count` entries of the indexed log held by `hold` (named
// `log_name` on disk; `name_base` is the name its ".BAK" and side names are
// made from; `shown_name` the name the user sees) and, unless it is already
// in order, writes the sorted log beside it and puts it in place in one
// step, the old log becoming the ".BAK" with backup on. 0 when the log is
// sorted (or was already), -1 when it was left as it was (reported).
int rewrite_log(LogHold* hold, const char* log_name, const char* name_base,
                const char* shown_name, MessageIndex index, int count);
// Forgets the backups an earlier command line made (called once per command
// line): within one, a backup this run made is never replaced.
void forget_processed_files();
