// --check: what a run would do to a log, found without changing anything.
#pragma once

#include "logindex/log_indexer.h"
#include "platform/platform.h"

// What a run would change in one log besides nothing.
struct LogChanges {
    int messages_moved;        // kept messages that end up at another place
    int repeats_dropped;       // copies of a message written once
    int banner_lines_dropped;  // NIFTY SERVE forum banner lines not written again
    int banner_moved;          // 1 when the kept banner line is not the log's first line yet
    int leading_text_dropped;  // 1 when text stands before the first message
    int lines_changed;         // 1 when lines outside the counted messages, or an
                               // unended last line, would go or be ended
};

// Whether a run would rewrite the log `log` (held, named `log_name`) whose
// entries `indexed` holds, sorted, and what it would change. 1 when it would,
// 0 when it would leave the log as it is, -1 after a reported read or memory
// error.
int log_would_change(PlatformFile* log, const char* log_name, const IndexedLog& indexed,
                     const RunOptions& options, LogChanges* changes);

// The report of --check for one indexed log on standard output, by the name
// as typed: "NAME: in order", or "NAME: would change: " and the counts; with
// --list only the name of a log that would change. The verdict as above.
int check_log(const char* shown_name, PlatformFile* log, const char* log_name,
              const IndexedLog& indexed, const RunOptions& options);
