#pragma once

#include "logindex/log_format.h"
#include "platform/platform.h"
#include "platform/platform_replace.h"

// What a rewrite came to: the driver counts them for the run's summary.
enum RewriteResult {
    REWRITE_SORTED = 0,
    REWRITE_IN_ORDER,  // left as it was, nothing to sort
    REWRITE_BACKUP_FAILED,
    REWRITE_CHANGED,  // another program changed the log meanwhile
    REWRITE_ALREADY_PROCESSED,
    REWRITE_WRITE_ERROR,  // a read or write error (reported)
};

// Sorts the `count` entries of the indexed log held by `hold` (named
// `log_name` on disk; `name_base` is the name its ".BAK" and side names are
// made from; `shown_name` the name the user sees) and, unless it is already
// in order, writes the sorted log beside it and puts it in place in one
// step, the old log becoming the ".BAK" with backup on. Every result but
// REWRITE_SORTED and REWRITE_IN_ORDER has been reported, ending in "Skip!"
// where the log was left as it was.
RewriteResult rewrite_log(LogHold* hold, const char* log_name, const char* name_base,
                          const char* shown_name, MessageIndex index, int count);
// Forgets the backups an earlier command line made (called once per command
// line): within one, a backup this run made is never replaced.
void forget_processed_files();
