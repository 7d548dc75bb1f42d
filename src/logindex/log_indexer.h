#pragma once

#include "logindex/log_format.h"
#include "platform/platform.h"

// The log build_index read last, taken from its open file; the size is -1
// when the file changed while it was read. The rewrite checks against it that
// the file it replaces is still the one indexed.
extern PlatformFileIdentity indexed_log_identity;

// What a run would do to the log build_index read last, beyond sorting.
struct IndexedLogShape {
    int overflowed;                // more messages than the limit: "Out of Range!"
    int banner_lines;              // NIFTY SERVE forum banner lines
    int banner_at_head;            // 1 when the first of them is the log's first line
    int64_t leading_banner_bytes;  // of the banner lines before the first message
    int lines_misplaced;           // PC-VAN counts that do not reach exactly to the next header
    int ends_open;                 // the last line has no line end and is no full piece
    int header_error;              // the pass stopped at a header or room error
};
extern IndexedLogShape indexed_log_shape;

// The spans of the messages the last build_index read.
extern MessageSpans indexed_spans;

// Where the entries of the last build_index are: `given`, or, when the log
// held more than MAX_INDEX_ENTRIES messages (--max-messages), a block the
// indexer grew for them. It is kept for the next log until free_large_index.
MessageIndex indexed_entries(MessageIndex given);
void free_large_index();

// Reads the log once and fills `index` in file order. Returns the number of
// entries (> 0), 0 for no header or more than run_options.max_messages, -1
// for an open, read, header, room or allocation error or a log too large for
// 32-bit offsets (each reported on standard error).
int build_index(const char* path, MessageIndex index);
// The same from a log already open (and left open), read from its start;
// `path` names it in messages.
int build_index_from(PlatformFile* file, const char* path, MessageIndex index);

// Whether the log holds a message header (both lines) of `service`: tells a
// log read with the wrong dialect from one that is no log at all.
bool reads_as_service(const char* path, int service);
