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
// The backups one command line made: within it, a backup made is never
// replaced (FORUM.LOG and FORUM.TXT share FORUM.BAK).
struct FileKey {
    uint64_t device;
    uint64_t file_id;
};
struct BackupsMade {
    FileKey* keys;
    size_t count;
    size_t room;
    bool unknown;  // the block could not grow: every backup counts as made
};
void forget_backups_made(BackupsMade* made);

RewriteResult rewrite_log(LogHold* hold, const LogNames& names, const IndexedLog& indexed,
                          const RunOptions& options, BackupsMade* made);
