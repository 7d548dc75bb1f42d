#pragma once

#include "driver/log_names.h"
#include "logindex/log_indexer.h"
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

// Unless the indexed log, its entries sorted, is already in order, writes
// the sorted log beside it and puts it in place in one step, the old log
// becoming the ".BAK" with backup on. The log is held by `hold`; its ".BAK"
// and side names are made from names.target. Every result but REWRITE_SORTED
// and REWRITE_IN_ORDER has been reported, ending in "Skip!" where the log was
// left as it was.
RewriteResult rewrite_log(LogHold* hold, const LogNames& names, const IndexedLog& indexed,
                          const RunOptions& options);
// Forgets the backups an earlier command line made (called once per command
// line): within one, a backup this run made is never replaced.
void forget_processed_files();
