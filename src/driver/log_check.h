// --check: what a run would do to a log, found without changing anything.
#pragma once

#include "logindex/log_format.h"

// What a run would change in one log besides nothing.
struct LogChanges {
    int messages_moved;        // kept messages that end up at another place
    int repeats_dropped;       // copies of a message written once
    int banner_lines_dropped;  // NIFTY SERVE forum banner lines beyond the latest
    int banner_moved;          // 1 when the kept banner line is not the log's first line yet
    int leading_text_dropped;  // 1 when text stands before the first message
    int lines_changed;         // 1 when lines outside the counted messages, or an
                               // unended last line, would go or be ended
};

// Decides from the index of the log just read (the `count` entries, in file
// order; they are sorted in place) whether a run would change the log and
// counts what it would change. 1 when it would, 0 when the log is in order,
// -1 when memory for the counting is missing (reported).
int log_would_change(MessageIndex index, int count, LogChanges* changes);

// The report of --check for one indexed log on standard output: "NAME: in
// order", or "NAME: would change: " and the counts. 0, or -1 as above.
int check_log(const char* shown_name, MessageIndex index, int count);

// Logs of this run that a run without --check would change.
extern int logs_that_would_change;
