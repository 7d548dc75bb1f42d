#pragma once

#include "logindex/forum_banner.h"
#include "logindex/log_format.h"
#include "platform/platform.h"

// What a run would do to an indexed log, beyond sorting.
struct IndexedLogShape {
    int overflowed;                // more messages than the limit: "Out of Range!"
    int banner_lines;              // NIFTY SERVE forum banner lines
    int banner_at_head;            // 1 when the first of them is the log's first line
    int64_t leading_banner_bytes;  // of the banner lines before the first message
    int lines_misplaced;           // PC-VAN counts that do not reach exactly to the next header
    int ends_open;                 // the last line has no line end and is no full piece
    int header_error;              // the pass stopped at a header or room error
};

// All one pass over a log found: the check, the writer and the replace work
// from it alone.
struct IndexedLog {
    MessageIndex entries;  // `count` of them, in file order until sorted
    int count;
    int room;  // entries allocated: MAX_INDEX_ENTRIES, grown up to --max-messages
    // Taken from the open file as the pass began; the size is -1 when the file
    // changed while it was read. The replace checks against it that the file
    // it replaces is still the one indexed.
    PlatformFileIdentity identity;
    IndexedLogShape shape;
    MessageSpans spans;
    ForumBanner banner;  // NIFTY SERVE: the latest-dated forum banner line
};

// One for a whole run, reused log after log: room for MAX_INDEX_ENTRIES
// entries from the start, so that the common log needs no allocation. Null
// when memory is short.
IndexedLog* create_indexed_log();
void destroy_indexed_log(IndexedLog* indexed);

// Reads the log `file` (open, read from its start, left open; `path` names it
// in messages) once and fills `indexed`, its entries in file order. Returns
// the number of entries (> 0), 0 for no header or more than
// options.max_messages, -1 for a read, header, room or allocation error or a
// log too large for 32-bit offsets (each reported on standard error).
int index_log(PlatformFile* file, const char* path, const RunOptions& options, IndexedLog* indexed);

// Whether the log holds a message header (both lines) of `service`: tells a
// log read with the wrong dialect from one that is no log at all.
bool reads_as_service(const char* path, int service);
