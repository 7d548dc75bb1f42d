// Writes the sorted log: each message copied from the log at its offset,
// repeats passed over, and for NIFTY SERVE the latest forum banner line at the
// head and no other banner line. The same pass, comparing instead of writing,
// tells whether the log is already in order.
//
// Where the run holds the log so that nothing can shorten it, the log is mapped
// in a few large windows and messages are copied from where they lie: no system
// call per message (on a virtual machine each costs about 1 us, and a log of
// 3,000 messages in random order took 2,700 reads). Elsewhere, and where the
// kept messages lie far apart, the kept messages next in sorted order are read
// ahead into a room of the run's working memory, each as far as it reaches (to
// where the next message of the file begins), in file order, neighbours in one
// read, and written many at once from there; without that room a message is
// read alone through the log's own reader, which lends the bytes where they lie
// in its buffer. Either way its lines are found by their line feeds and looked
// at where they lie, and each run of lines kept one after another is written in
// one call. A message the indexer found whole is copied as it lies, its lines
// never looked at. From a mapped log the runs are written many at once from
// where they lie (copied once, by the system, where a copy into a buffer first
// cost as much as the write itself).
#include "logindex/sorted_log_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logindex/header_rules.h"
#include "logindex/index_sort.h"
#include "match/line_feeds.h"
#include "platform/platform.h"
#include "support/messages.h"

namespace {

// A piece this long is the front part of a longer line, not a cut-off end.
constexpr size_t FULL_PIECE_LENGTH = LINE_BUFFER_SIZE - 1;
// Read past where a message ends, so that the line that ends it (the next
// header line 1, some 30-80 bytes) comes in the same read.
constexpr int64_t READ_PAST_MESSAGE = 256;
// Reads past what the index foretells, or with nothing foretold.
constexpr size_t SMALLEST_READ = 4096;
constexpr int64_t REACH_UNKNOWN = INT64_MAX;
// The log is mapped in windows (LOG_WINDOW_SIZE), each reaching on by a
// margin so that a message crossing into the next window is still found whole
// in one, and at most MAX_WINDOWS at once: a log of any size maps at most
// 512 MiB of address space (the pages are the page cache's, shared, not the
// run's own).
constexpr size_t WINDOW_MARGIN = 64 * 1024;
static_assert(LOG_WINDOW_SIZE % PLATFORM_VIEW_ALIGNMENT == 0, "windows start where a view may");
static_assert(WINDOW_MARGIN >= 2 * FULL_PIECE_LENGTH, "a line piece fits past a window's end");
constexpr int MAX_WINDOWS = 8;
// Runs of the mapped log waiting to be written in one call. Each call costs
// the file system several microseconds: messages shorter than this on
// average (90,000 of 200 bytes took 12% longer gathered) are copied into the
// stream's buffer instead.
constexpr int MAX_PENDING_PIECES = 256;
constexpr int64_t SMALLEST_GATHERED_AVERAGE = 1024;

// Reading ahead (where the log is read): the kept messages next in sorted
// order, as many as fill half the room, read in file order; neighbours whose
// ranges touch are read in one, and the narrowest gaps between the rest are
// read over while the room allows. On the virtual machines measured a read
// cost about 1 us and the page cache copied some 10 KB a microsecond: gaps up
// to 64 KiB read 17 MB of an 8 MB log for 230 reads, and came out slower than
// gaps up to 32 KiB (14 MB, 300 reads).
constexpr size_t ROOM_PER_PIECE = 2 * 1024;  // at most one piece per this much room
// The run's room costs a large page: worth it for this many reads saved.
constexpr int LEAST_KEPT_FOR_ROOM = 256;
constexpr int64_t NARROWEST_JOINED_GAP = 2 * 1024;
constexpr int64_t WIDEST_JOINED_GAP = 32 * 1024;
// A log mostly of repeats is mapped all the same up to this many of its bytes
// for each message kept, and read ahead past it. Closer than that, reading
// ahead reads over nearly every gap: the whole log copied into the room and
// out again, where the mapping is copied from once.
constexpr int64_t MOST_LOG_BYTES_PER_KEPT = WIDEST_JOINED_GAP;

// File positions [start, end) held at room[at]; `at_end`: the log ends there.
struct AheadPiece {
    int64_t start;
    int64_t end;
    size_t at;
    bool at_end;
};

struct ReadAhead {
    AheadPiece* pieces;  // null: each message is read alone
    int most_pieces;
    char* bytes;
    size_t size;  // of bytes
    int count;    // pieces held, in file order
    int until;    // sorted entries before this one have been read ahead
    int64_t log_size;
};

struct LogWindows {
    bool mapped;    // false: the log is read instead
    bool prefault;  // writing: each window is read nearly whole, mapped at once
    size_t size;    // of a window, without its margin
    PlatformView views[MAX_WINDOWS];
    int64_t starts[MAX_WINDOWS];  // -1: slot free
    uint64_t last_used[MAX_WINDOWS];
    uint64_t uses;
};

// The bytes of the log around the message being copied: a window of the
// mapped log, or what the log's reader lends of its buffer.
struct LogBlock {
    int64_t start;       // file position of data[0]
    size_t length;       // bytes held
    size_t next;         // where the next line begins
    bool at_end;         // nothing of the log lies past data[length]
    LineFeedScan feeds;  // of data[0, length)
    const char* data;
};

struct LogCopy {
    PlatformFile* source;  // the log as it is, read
    PlatformFile* log;     // the new log, written; null when comparing
    const char* source_name;
    const char* log_path;
    int64_t compared;  // comparing: bytes found equal so far
    bool differs;      // comparing: a byte differs
    HeaderMatchers matchers;
    int service;
    bool counted;      // PC-VAN messages end after their line counts
    size_t run_start;  // kept lines of the block not yet written
    size_t run_length;
    bool line_open;  // the log ends in a line without line end, shorter than a full piece
    // PC-VAN: a cut last line that would read as a header line 1 once ended,
    // written at the end instead (-1: none).
    int64_t held_back_at;
    size_t held_back_length;
    // Writing from mapped windows: bytes that lie in a window, the banner or
    // the program's own text, written when the list is full or a window goes.
    bool gathered;         // messages long enough on average to be gathered
    bool run_room_wanted;  // the run's read-ahead room, once the log is read
    PlatformPiece pending[MAX_PENDING_PIECES];
    int pending_count;
    size_t pending_bytes;
    LogWindows windows;
    LogBlock block;
    ReadAhead ahead;
};

int report_write_error(const LogCopy& copy) {
    return ::report_write_error(copy.log_path);
}

// Bytes of the block that would land where they already lie in the log:
// equal without reading them again. Most of a log in order is so.
bool lands_in_place(const LogCopy& copy, const char* bytes, size_t length) {
    const LogBlock& block = copy.block;
    if (bytes < block.data || bytes + length > block.data + block.length) {
        return false;
    }
    return block.start + (bytes - block.data) == copy.compared;
}

// Bytes the new log would get, against the log's own at the same place. A
// difference stops the pass (-1 with `differs` set).
int compare_bytes(LogCopy* copy, const char* bytes, size_t length) {
    if (lands_in_place(*copy, bytes, length)) {
        copy->compared += static_cast<int64_t>(length);
        return 0;
    }
    char held[4 * 1024];  // a page: bytes compared here are few, up to the first that differs
    while (length > 0) {
        const char* theirs = held;
        size_t part = std::min(length, sizeof held);
        int64_t got = 0;
        const LogBlock& block = copy->block;
        const int64_t in_block = copy->compared - block.start;
        if (in_block >= 0 && in_block < static_cast<int64_t>(block.length)) {
            theirs = block.data + in_block;
            part = std::min(length, block.length - static_cast<size_t>(in_block));
            got = static_cast<int64_t>(part);
        } else {
            got = platform_read_at(copy->source, copy->compared, held, part);
        }
        if (got < 0) {
            return report_read_error(copy->source_name);
        }
        if (static_cast<size_t>(got) != part || std::memcmp(theirs, bytes, part) != 0) {
            copy->differs = true;
            return -1;
        }
        copy->compared += static_cast<int64_t>(part);
        bytes += part;
        length -= part;
    }
    return 0;
}

// Bytes read ahead stay where they lie until the next reading ahead, so they
// may wait to be written many at once, as the mapped log's do.
bool lies_in_read_ahead(const ReadAhead& ahead, const char* bytes) {
    return ahead.pieces != nullptr && bytes >= ahead.bytes && bytes < ahead.bytes + ahead.size;
}

int write_pending(LogCopy* copy) {
    const int count = copy->pending_count;
    copy->pending_count = 0;
    copy->pending_bytes = 0;
    if (count > 0 && platform_write_pieces(copy->log, copy->pending, count) != 0) {
        return report_write_error(*copy);
    }
    return 0;
}

int write_bytes(LogCopy* copy, const char* bytes, size_t length) {
    if (copy->log == nullptr) {
        return compare_bytes(copy, bytes, length);
    }
    if (length == 0) {
        return 0;
    }
    if (copy->gathered && (copy->windows.mapped || lies_in_read_ahead(copy->ahead, bytes))) {
        const bool full =
            copy->pending_count == MAX_PENDING_PIECES ||
            (copy->pending_count > 0 && copy->pending_bytes + length > MOST_GATHERED_BYTES);
        if (full && write_pending(copy) != 0) {
            return -1;
        }
        copy->pending[copy->pending_count++] = PlatformPiece{bytes, length};
        copy->pending_bytes += length;
        return 0;
    }
    if (write_pending(copy) != 0) {
        return -1;
    }
    if (platform_write(copy->log, bytes, length) != 0) {
        return report_write_error(*copy);
    }
    return 0;
}

int write_run(LogCopy* copy) {
    const size_t length = copy->run_length;
    copy->run_length = 0;
    return write_bytes(copy, copy->block.data + copy->run_start, length);
}

// Kept lines that follow each other in the block go out in one write.
int keep_line(LogCopy* copy, const char* line, size_t length) {
    const size_t at = static_cast<size_t>(line - copy->block.data);
    if (copy->run_length > 0 && copy->run_start + copy->run_length != at && write_run(copy) != 0) {
        return -1;
    }
    if (copy->run_length == 0) {
        copy->run_start = at;
    }
    copy->run_length += length;
    copy->line_open = line[length - 1] != '\n' && length < FULL_PIECE_LENGTH;
    return 0;
}

void unmap_windows(LogWindows* windows) {
    for (int i = 0; i < MAX_WINDOWS; ++i) {
        if (windows->starts[i] >= 0) {
            platform_unmap_view(&windows->views[i]);
            windows->starts[i] = -1;
        }
    }
}

// The window that holds file position `offset`, mapped when no slot has it,
// in the place of the one longest unused. -1 after a reported error, -2 when
// the log may no longer be mapped (its lease is being broken).
int find_window(LogCopy* copy, int64_t offset) {
    LogWindows& windows = copy->windows;
    const int64_t start = offset - offset % static_cast<int64_t>(windows.size);
    int slot = 0;
    for (int i = 0; i < MAX_WINDOWS; ++i) {
        if (windows.starts[i] == start) {
            windows.last_used[i] = ++windows.uses;
            return i;
        }
        if (windows.starts[slot] >= 0 &&
            (windows.starts[i] < 0 || windows.last_used[i] < windows.last_used[slot])) {
            slot = i;
        }
    }
    // A window mapped at once and let go of again would be mapped whole for
    // a few messages, over and over: past MAX_WINDOWS windows (512 MiB) a
    // write reads instead.
    if (windows.starts[slot] >= 0 && windows.prefault) {
        return -2;
    }
    if (windows.starts[slot] >= 0) {
        if (write_pending(copy) != 0) {
            return -1;
        }
        platform_unmap_view(&windows.views[slot]);
        windows.starts[slot] = -1;
    }
    const int mapped = platform_map_view(copy->source, start, windows.size + WINDOW_MARGIN,
                                         &windows.views[slot], windows.prefault);
    if (mapped != 0) {
        return mapped > 0 ? -2 : report_read_error(copy->source_name);
    }
    windows.starts[slot] = start;
    windows.last_used[slot] = ++windows.uses;
    return slot;
}

// The block holds `length` bytes from file position `start` on.
void hold_bytes(LogBlock* block, int64_t start, const char* data, size_t length, bool at_end) {
    *block = LogBlock{start, length, 0, at_end, {}, data};
    forget_line_feeds(&block->feeds);
}

// Reading moves to `offset`: the block starts there, empty; the first read
// lends what the reader still holds from there on, and more.
int seek_block(LogCopy* copy, int64_t offset) {
    if (platform_seek(copy->source, offset) != 0) {
        return report_read_error(copy->source_name);
    }
    hold_bytes(&copy->block, offset, "", 0, false);
    return 0;
}

// The rest is read: the block starts at `offset`.
// Nothing of the windows is referred to any more (no run is pending).
int read_from_now_on(LogCopy* copy, int64_t offset) {
    if (write_pending(copy) != 0) {
        return -1;
    }
    unmap_windows(&copy->windows);
    copy->windows.mapped = false;
    return seek_block(copy, offset);
}

// Puts the window holding `offset` in the block, reading from `offset`.
int show_window(LogCopy* copy, int64_t offset) {
    const int slot = find_window(copy, offset);
    if (slot == -2) {
        return read_from_now_on(copy, offset);
    }
    if (slot < 0) {
        return -1;
    }
    const PlatformView& view = copy->windows.views[slot];
    const int64_t start = copy->windows.starts[slot];
    hold_bytes(&copy->block, start, view.bytes, view.length,
               view.length < copy->windows.size + WINDOW_MARGIN);
    copy->block.next =
        static_cast<size_t>(std::min(offset - start, static_cast<int64_t>(view.length)));
    return 0;
}

// Puts the piece read ahead that holds `offset` in the block, reading from
// `offset`; false when none does.
bool show_read_ahead(LogCopy* copy, int64_t offset) {
    const ReadAhead& ahead = copy->ahead;
    const AheadPiece* first = ahead.pieces;
    const AheadPiece* piece =
        std::upper_bound(first, first + ahead.count, offset,
                         [](int64_t position, const AheadPiece& p) { return position < p.start; });
    if (piece == first || offset >= piece[-1].end) {
        return false;
    }
    --piece;
    hold_bytes(&copy->block, piece->start, ahead.bytes + piece->at,
               static_cast<size_t>(piece->end - piece->start), piece->at_end);
    copy->block.next = static_cast<size_t>(offset - piece->start);
    return true;
}

// Starts reading at file position `offset`, without a seek when the block
// holds it or ends there.
int move_to(LogCopy* copy, int64_t offset) {
    LogBlock& block = copy->block;
    if (offset >= block.start && offset <= block.start + static_cast<int64_t>(block.length)) {
        block.next = static_cast<size_t>(offset - block.start);
        return 0;
    }
    if (copy->windows.mapped) {
        if (offset < 0) {  // as the seek of a read refuses it
            errno = EINVAL;
            return report_read_error(copy->source_name);
        }
        return show_window(copy, offset);
    }
    if (show_read_ahead(copy, offset)) {
        return 0;
    }
    return seek_block(copy, offset);
}

// Reads on after the bytes held, up to file position `wanted` when that lies
// ahead. The pending run is written first and the unread bytes moved to the
// front. 0, or -1 after a reported error.
int read_more(LogCopy* copy, int64_t wanted) {
    LogBlock& block = copy->block;
    if (write_run(copy) != 0) {
        return -1;
    }
    if (copy->windows.mapped) {
        // Called only at a window's end, so the next window moves on.
        const int64_t was = block.start;
        if (show_window(copy, block.start + static_cast<int64_t>(block.next)) != 0) {
            return -1;
        }
        block.at_end = block.at_end || (copy->windows.mapped && block.start == was);
        return 0;
    }
    const int64_t ahead = wanted - (block.start + static_cast<int64_t>(block.length));
    const size_t size =
        ahead > 0 ? static_cast<size_t>(std::min<int64_t>(ahead, INT32_MAX)) : SMALLEST_READ;
    PlatformLent lent;
    if (platform_lend_bytes(copy->source, block.start + static_cast<int64_t>(block.next), size,
                            &lent) != 0) {
        return report_read_error(copy->source_name);
    }
    hold_bytes(&block, lent.start, lent.bytes, lent.length, lent.at_end);
    return 0;
}

// The next line, or piece of a longer line, as the line reader would give
// it. 1 with a piece, 0 at the end of the log, -1 after a reported
// error.
int next_piece(LogCopy* copy, int64_t wanted, const char** line, size_t* length) {
    LogBlock& block = copy->block;
    for (;;) {
        *length = line_piece_length(&block.feeds, block.data, block.length, block.next,
                                    FULL_PIECE_LENGTH, block.at_end);
        if (*length > 0) {
            *line = block.data + block.next;
            block.next += *length;
            return 1;
        }
        if (block.at_end) {
            return 0;
        }
        if (read_more(copy, wanted) != 0) {
            return -1;
        }
    }
}

// The matcher reads a NUL-terminated line: a line that may match is copied
// to end it so (the mapped log cannot be written). Few lines begin as a
// header may.
bool piece_matches(const char* line, size_t length, const HeaderRecognizer& pattern) {
    if (!pattern.may_begin[static_cast<unsigned char>(line[0])]) {
        return false;
    }
    char ended[LINE_BUFFER_SIZE];
    std::memcpy(ended, line, length);
    ended[length] = '\0';
    return pattern.scan(ended);
}

// An unterminated last line (a DOS end-of-file mark, say) written before
// another message would run into that message's header line, which the next
// run would no longer recognise; so the message starts on a line of its own,
// ended like its header line. After a full piece the header starts the next
// piece and is found again, so nothing is added there.
int start_on_new_line(LogCopy* copy, const char* line, size_t length) {
    if (!copy->line_open) {
        return 0;
    }
    copy->line_open = false;
    const bool crlf = length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n';
    return write_bytes(copy, crlf ? "\r\n" : "\n", crlf ? 2 : 1);
}

// A log cut right after a header's line 2 keeps that line, ended like line 1:
// without it the message would fail the next run's header check.
int keep_cut_header(LogCopy* copy, const char* line, size_t length, bool crlf) {
    if (keep_line(copy, line, length) != 0 || write_run(copy) != 0) {
        return -1;
    }
    copy->line_open = false;
    return write_bytes(copy, crlf ? "\r\n" : "\n", crlf ? 2 : 1);
}

bool is_cut_line(const char* line, size_t length) {
    return line[length - 1] != '\n' && length < FULL_PIECE_LENGTH;
}

// A PC-VAN log cut inside a header line 1 ends in "#12/3", which reads as
// no header. Ended, as a line must be when another message follows it, it
// would read as one, and the next run would refuse the log at the line
// after it: so it is written last, unended, as it lay, where it stays part
// of the last message. (With line counts it stays in place: a count decides
// which lines a message keeps, and moved past the last count the line would
// be dropped by the next run; refused, the log keeps it.)
bool reads_as_header_once_ended(const LogCopy& copy, const char* line, size_t length) {
    if (copy.service != SERVICE_PCVAN || copy.counted || !is_cut_line(line, length)) {
        return false;
    }
    char ended[LINE_BUFFER_SIZE];
    std::memcpy(ended, line, length);
    ended[length] = '\n';
    return piece_matches(ended, length + 1, copy.matchers.line1);
}

// NIFTY SERVE keeps a line that ends in a line feed, except banner lines, and
// a full piece of a longer line; a shorter end without a line feed (an
// end-of-file mark, say) is dropped.
bool nifty_keeps_line(const LogCopy& copy, const char* line, size_t length) {
    if (line[length - 1] == '\n') {
        return !piece_matches(line, length, copy.matchers.banner);
    }
    return length == FULL_PIECE_LENGTH;
}

// Copies the bytes of the log from `from` up to `to` as they lie, as far as
// the log reaches.
int copy_span(LogCopy* copy, int64_t from, int64_t to) {
    if (move_to(copy, from) != 0) {
        return -1;
    }
    LogBlock& block = copy->block;
    for (;;) {
        const int64_t held_to = std::min(to, block.start + static_cast<int64_t>(block.length));
        const size_t stop = static_cast<size_t>(held_to - block.start);
        if (stop > block.next) {
            if (write_bytes(copy, block.data + block.next, stop - block.next) != 0) {
                return -1;
            }
            block.next = stop;
        }
        if (held_to == to || block.at_end) {
            return 0;
        }
        if (read_more(copy, to + READ_PAST_MESSAGE) != 0) {
            return -1;
        }
    }
}

int64_t position_of(const LogBlock& block, const char* line) {
    return block.start + (line - block.data);
}

// Copies one message from its offset until its stop rule ends it: a line
// count for PC-VAN with line checking (never past the next indexed header),
// else the next header line 1. The
// message is read as far as `reach` (a file position) and a little further.
// A message the indexer found `whole` is the bytes up to `reach`; the next
// header starts a piece, so nothing is left open after it.
int copy_message(LogCopy* copy, const MessageIndexEntry& entry, int64_t reach, bool whole) {
    if (whole && reach != REACH_UNKNOWN && !copy->line_open) {
        return copy_span(copy, entry.offset, reach);
    }
    if (move_to(copy, entry.offset) != 0) {
        return -1;
    }
    const bool pcvan = copy->service == SERVICE_PCVAN;
    const bool counted = copy->counted;
    const int64_t wanted = reach == REACH_UNKNOWN ? REACH_UNKNOWN : reach + READ_PAST_MESSAGE;
    int64_t lines_left = lines_copied_by_count(entry.line_count);
    bool crlf = false;  // how header line 1 ends
    for (int64_t lines_read = 0; !counted || lines_left > 0; ++lines_read) {
        const char* line = nullptr;
        size_t length = 0;
        const int status = next_piece(copy, wanted, &line, &length);
        if (status < 0) {
            return -1;
        }
        if (status == 0) {
            break;
        }
        if (counted) {
            // A count that runs past a cut-off message reaches the line the
            // indexer took for the next message's header line 1: the copy
            // ends before it, or the next run would find that header twice.
            if (lines_read > 0 && position_of(copy->block, line) == reach) {
                break;
            }
            --lines_left;
        } else if (lines_read > 0 && piece_matches(line, length, copy->matchers.line1)) {
            break;
        }
        if (lines_read == 0) {
            crlf = length >= 2 && line[length - 2] == '\r';
            if (start_on_new_line(copy, line, length) != 0) {
                return -1;
            }
        }
        if (!pcvan && lines_read == 1 && is_cut_line(line, length)) {
            if (keep_cut_header(copy, line, length, crlf) != 0) {
                return -1;
            }
            continue;
        }
        if (lines_read > 0 && reads_as_header_once_ended(*copy, line, length)) {
            copy->held_back_at = position_of(copy->block, line);
            copy->held_back_length = length;
            continue;
        }
        const bool keep = pcvan || nifty_keeps_line(*copy, line, length);
        if (keep ? keep_line(copy, line, length) != 0 : write_run(copy) != 0) {
            return -1;
        }
    }
    return write_run(copy);
}

// The messages in file order: where each begins, and which are whole.
struct FileOrder {
    const int32_t* offsets;
    int known;
    const bool* whole;  // of each offset; null: none known to be
    // Past MAX_INDEX_ENTRIES: the offsets of stretch b of the file (each
    // `stretch` bytes) are offsets[first_in[b], first_in[b + 1]); null: none.
    const int32_t* first_in;
    int64_t stretch;
};

// A log of more messages than the index's usual room (--max-messages) has
// its offsets, in file order, divided into stretches of the file, about one
// message to a stretch, so that where a message ends is looked up in its own
// stretch. (Sorting 90,000 offsets and a binary search over all of them for
// each message took a quarter of such a run.) `first_in` holds stretches + 1
// counts.
void divide_into_stretches(const int32_t* offsets, int count, int32_t* first_in, int stretches,
                           int64_t stretch) {
    int at = 0;
    for (int b = 0; b <= stretches; ++b) {
        while (at < count && offsets[at] < b * stretch) {
            ++at;
        }
        first_in[b] = at;
    }
}

// The first offset in file order past `offset`, or the end of the offsets.
const int32_t* next_in_file_order(const FileOrder& order, int32_t offset) {
    if (order.first_in != nullptr && offset >= 0) {
        const int64_t b = offset / order.stretch;
        return std::upper_bound(order.offsets + order.first_in[b],
                                order.offsets + order.first_in[b + 1], offset);
    }
    return std::upper_bound(order.offsets, order.offsets + order.known, offset);
}

// From the indexer's spans when they describe this index (a run's always
// do); else the offsets sorted into a block of the heap. Past
// MAX_INDEX_ENTRIES the stretches go in that block too. *allocated is freed
// by the caller; -1 when it cannot be had. (Not on the stack: each page of
// stack a run first touches costs it a fault, some 15 us on the virtual
// machines measured.)
int file_order_of(const MessageIndexEntry* index, int count, const MessageSpans* spans,
                  int32_t** allocated, FileOrder* order) {
    *allocated = nullptr;
    const bool spans_fit = spans != nullptr && spans->count == count;
    const bool many = count > MAX_INDEX_ENTRIES;
    const size_t room =
        (many ? static_cast<size_t>(count) + 1 : 0) + (spans_fit ? 0 : static_cast<size_t>(count));
    if (room > 0) {
        *allocated = static_cast<int32_t*>(std::malloc(room * sizeof **allocated));
        if (*allocated == nullptr) {
            print_message<MSG_MEMORY_ERROR>();
            return -1;
        }
    }
    *order = FileOrder{nullptr, count, nullptr, nullptr, 0};
    if (spans_fit) {
        order->offsets = spans->offsets;
        order->whole = spans->whole;
    } else {
        int32_t* offsets = many ? *allocated + count + 1 : *allocated;
        for (int i = 0; i < count; ++i) {
            offsets[i] = index[i].offset;
        }
        std::sort(offsets, offsets + count);
        order->offsets = offsets;
    }
    // The offsets of a log are never negative; entries made otherwise are
    // looked up over all.
    if (many && order->offsets[0] >= 0) {
        order->first_in = *allocated;
        order->stretch = order->offsets[count - 1] / count + 1;
        divide_into_stretches(order->offsets, count, *allocated, count, order->stretch);
    }
    return 0;
}

// Where the message at `offset` reaches (the next offset in file order), and
// whether the indexer found it whole.
struct MessageReach {
    int64_t reach;
    bool whole;
};

MessageReach reach_of(const FileOrder& order, int32_t offset) {
    const int32_t* next = next_in_file_order(order, offset);
    const int64_t reach = next == order.offsets + order.known ? REACH_UNKNOWN : *next;
    const int64_t at = next - 1 - order.offsets;
    const bool whole =
        order.whole != nullptr && next != order.offsets && next[-1] == offset && order.whole[at];
    return MessageReach{reach, whole};
}

void start_read_ahead(ReadAhead* ahead, ReadAheadRoom room, int64_t log_size) {
    *ahead = ReadAhead{nullptr, 0, nullptr, 0, 0, 0, log_size};
    const size_t most_pieces = std::min<size_t>(room.size / ROOM_PER_PIECE, INT32_MAX);
    if (room.memory == nullptr || most_pieces == 0) {
        return;
    }
    ahead->pieces = static_cast<AheadPiece*>(room.memory);
    ahead->most_pieces = static_cast<int>(most_pieces);
    ahead->bytes = static_cast<char*>(room.memory) + most_pieces * sizeof(AheadPiece);
    ahead->size = room.size - most_pieces * sizeof(AheadPiece);
}

// The ranges of the kept messages from sorted entry `from` on that fit in
// half the room, each as far as the message is read; sets `until`. Messages
// at no place in the log are left to be read alone.
int64_t gather_ranges(ReadAhead* ahead, const MessageIndexEntry* index, int count,
                      const FileOrder& order, int from) {
    const auto budget = static_cast<int64_t>(ahead->size / 2);
    int64_t sum = 0;
    int i = from;
    ahead->count = 0;
    for (; i < count && ahead->count < ahead->most_pieces; ++i) {
        if (is_repeat(index, i)) {
            continue;
        }
        const int64_t start = index[i].offset;
        const int64_t reach = reach_of(order, index[i].offset).reach;
        const int64_t end = reach == REACH_UNKNOWN
                                ? ahead->log_size
                                : std::min(reach + READ_PAST_MESSAGE, ahead->log_size);
        if (start < 0 || end <= start) {
            continue;
        }
        if (sum + (end - start) > budget) {
            break;
        }
        ahead->pieces[ahead->count++] = AheadPiece{start, end, 0, false};
        sum += end - start;
    }
    // A message too long for the room is read alone.
    ahead->until = ahead->count == 0 ? std::min(i + 1, count) : i;
    return sum;
}

// Joins each piece to the one before it where the gap between them is at
// most `widest` bytes and the room holds the bytes the pieces then come to
// (`total` before); the bytes after.
int64_t join_pieces(ReadAhead* ahead, int64_t widest, int64_t total) {
    AheadPiece* pieces = ahead->pieces;
    int joined = 0;
    for (int k = 0; k < ahead->count; ++k) {
        const AheadPiece piece = pieces[k];
        if (joined > 0) {
            AheadPiece& last = pieces[joined - 1];
            const int64_t end = std::max(last.end, piece.end);
            const int64_t grows = end - last.end - (piece.end - piece.start);
            if (piece.start - last.end <= widest &&
                total + grows <= static_cast<int64_t>(ahead->size)) {
                last.end = end;
                total += grows;
                continue;
            }
        }
        pieces[joined++] = piece;
    }
    ahead->count = joined;
    return total;
}

// The ranges in file order, those that overlap or touch made one, then the
// gaps between the rest read over, narrowest first, while the room holds them.
void join_ranges(ReadAhead* ahead, int64_t sum) {
    std::sort(ahead->pieces, ahead->pieces + ahead->count,
              [](const AheadPiece& a, const AheadPiece& b) { return a.start < b.start; });
    int64_t total = join_pieces(ahead, 0, sum);
    for (int64_t widest = NARROWEST_JOINED_GAP; widest <= WIDEST_JOINED_GAP; widest *= 2) {
        total = join_pieces(ahead, widest, total);
    }
}

// One read for each piece. A piece the log no longer reaches is held short
// (or empty, and passed over).
int read_pieces(LogCopy* copy) {
    ReadAhead& ahead = copy->ahead;
    size_t at = 0;
    for (int k = 0; k < ahead.count; ++k) {
        AheadPiece& piece = ahead.pieces[k];
        const auto wanted = static_cast<size_t>(piece.end - piece.start);
        const int64_t got = platform_read_at(copy->source, piece.start, ahead.bytes + at, wanted);
        if (got < 0) {
            ahead.count = k;
            return report_read_error(copy->source_name);
        }
        piece.at = at;
        piece.end = piece.start + got;
        piece.at_end = static_cast<size_t>(got) < wanted;
        at += wanted;
    }
    return 0;
}

bool reads_ahead(const LogCopy& copy) {
    return copy.ahead.pieces != nullptr && copy.log != nullptr && !copy.windows.mapped;
}

// Reads ahead from sorted entry `from` on. The bytes waiting to be written
// are written and the block let go first: they may lie in the room, which the
// reads replace.
int read_ahead(LogCopy* copy, const MessageIndexEntry* index, int count, const FileOrder& order,
               int from) {
    if (write_pending(copy) != 0) {
        return -1;
    }
    hold_bytes(&copy->block, 0, "", 0, false);
    copy->ahead.count = 0;
    const int64_t sum = gather_ranges(&copy->ahead, index, count, order, from);
    join_ranges(&copy->ahead, sum);
    return read_pieces(copy);
}

// Taken once a run, the first time it is wanted: working memory is never
// given back. (Plain statics: a guarded one would load the C++ runtime
// library, some 0.3 ms a run.)
static bool read_ahead_room_taken = false;
static void* read_ahead_memory = nullptr;

ReadAheadRoom run_read_ahead_room() {
    if (!read_ahead_room_taken) {
        read_ahead_room_taken = true;
        platform_reserve_working_memory();
        read_ahead_memory = platform_working_memory(READ_AHEAD_SIZE);
    }
    return ReadAheadRoom{read_ahead_memory, read_ahead_memory != nullptr ? READ_AHEAD_SIZE : 0};
}

// The run's room, where it is wanted and the log is read from here on.
void take_run_room(LogCopy* copy) {
    if (copy->run_room_wanted && !copy->windows.mapped) {
        copy->run_room_wanted = false;
        start_read_ahead(&copy->ahead, run_read_ahead_room(), copy->ahead.log_size);
    }
}

int copy_in_order(LogCopy* copy, const MessageIndexEntry* index, int count,
                  const FileOrder& order) {
    for (int i = 0; i < count; ++i) {
        if (is_repeat(index, i)) {
            continue;
        }
        take_run_room(copy);
        if (i >= copy->ahead.until && reads_ahead(*copy) &&
            read_ahead(copy, index, count, order, i) != 0) {
            return -1;
        }
        const MessageReach reach = reach_of(order, index[i].offset);
        if (copy_message(copy, index[i], reach.reach, reach.whole) != 0) {
            return -1;
        }
    }
    return 0;
}

// Repeats (is_repeat) are passed over. A message reaches to the next offset
// in file order, where the indexer found the next header line 1.
int copy_messages(LogCopy* copy, const MessageIndexEntry* index, int count,
                  const MessageSpans* spans) {
    int32_t* allocated = nullptr;
    FileOrder order;
    if (file_order_of(index, count, spans, &allocated, &order) != 0) {
        return -1;
    }
    const int result = copy_in_order(copy, index, count, order);
    std::free(allocated);
    return result;
}

// A banner that was the unterminated last line of the log is ended before
// the first message, as any such line is.
int write_banner(LogCopy* copy, const ForumBanner& banner) {
    if (copy->service != SERVICE_NIFTY || banner.length == 0) {
        return 0;
    }
    copy->line_open = banner.line[banner.length - 1] != '\n' && banner.length < FULL_PIECE_LENGTH;
    return write_bytes(copy, banner.line, banner.length);
}

// The new log is closed whatever happened; a failure of any step counts.
int close_new_log(const LogCopy& copy, int result) {
    if (result == 0 && platform_flush(copy.log) != 0) {
        result = report_write_error(copy);
    }
    if (platform_close(copy.log) != 0 && result == 0) {
        result = report_write_error(copy);
    }
    return result;
}

void start_copy(LogCopy* copy, PlatformFile* source, const char* source_name, const char* log_path,
                const RunOptions& options, size_t window_size) {
    copy->source = source;
    copy->log = nullptr;
    copy->source_name = source_name;
    copy->log_path = log_path;
    copy->compared = 0;
    copy->differs = false;
    copy->run_start = 0;
    copy->run_length = 0;
    copy->line_open = false;
    copy->held_back_at = -1;
    copy->held_back_length = 0;
    copy->gathered = false;
    copy->pending_count = 0;
    copy->pending_bytes = 0;
    hold_bytes(&copy->block, 0, "", 0, false);
    copy->windows.mapped = false;
    // The comparison touches no page of a log in order; a write copies nearly
    // every page of the log.
    copy->windows.prefault = log_path != nullptr;
    copy->windows.size = window_size;
    copy->windows.uses = 0;
    for (int i = 0; i < MAX_WINDOWS; ++i) {
        copy->windows.starts[i] = -1;
        copy->windows.last_used[i] = 0;
        copy->windows.views[i] = PlatformView{nullptr, 0};
    }
    start_read_ahead(&copy->ahead, ReadAheadRoom{nullptr, 0}, 0);
    copy->run_room_wanted = false;
    copy->service = options.service;
    copy->counted = options.service == SERVICE_PCVAN && options.line_check;
    prepare_header_matchers(options.service, &copy->matchers);
}

// The log mapped from its head where it may be; else read from its head (it
// may have been read before: indexed, compared).
int start_reading(LogCopy* copy) {
    LogWindows& windows = copy->windows;
    const int mapped = windows.size == 0
                           ? 1
                           : platform_map_view(copy->source, 0, windows.size + WINDOW_MARGIN,
                                               &windows.views[0], windows.prefault);
    if (mapped < 0) {
        return report_read_error(copy->source_name);
    }
    if (mapped == 0) {
        windows.mapped = true;
        windows.starts[0] = 0;
        return show_window(copy, 0);
    }
    return seek_block(copy, 0);
}

int copy_all(LogCopy* copy, const IndexedLog& indexed) {
    if (start_reading(copy) != 0) {
        return -1;
    }
    int result = write_banner(copy, indexed.banner);
    if (result == 0) {
        result = copy_messages(copy, indexed.entries, indexed.count, &indexed.spans);
    }
    if (result == 0 && copy->held_back_at >= 0) {
        const int64_t at = copy->held_back_at;
        result = copy_span(copy, at, at + static_cast<int64_t>(copy->held_back_length));
    }
    return result;
}

// The messages a write copies: the sorted entries without repeats.
int kept_messages(const IndexedLog& indexed) {
    int kept = 0;
    for (int i = 0; i < indexed.count; ++i) {
        kept += is_repeat(indexed.entries, i) ? 0 : 1;
    }
    return kept;
}

}  // namespace

int write_sorted_log_from(PlatformFile* source, const char* source_name, const char* log_path,
                          const IndexedLog& indexed, const RunOptions& options, size_t window_size,
                          const ReadAheadRoom* room) {
    // Mapping a window whole costs 0.05 to 0.3 us a page on the virtual
    // machines measured last (1 us on earlier ones), reading ahead copies
    // every byte it reads twice: on 8 MB logs of every message three or four
    // times (8 KiB of log a kept message) mapping took 0.78 to 0.97 of the
    // floor against 0.86 to 1.07 read ahead; reading ahead wins from about
    // 50 KiB of log a kept message on (17 MB, 300 of 1,800 kept: 0.63
    // against 0.66).
    const int kept = kept_messages(indexed);
    if (kept * 2 < indexed.count && kept * MOST_LOG_BYTES_PER_KEPT < indexed.identity.size) {
        window_size = 0;
    }
    LogCopy copy;
    start_copy(&copy, source, source_name, log_path, options, window_size);
    start_read_ahead(&copy.ahead, room != nullptr ? *room : ReadAheadRoom{nullptr, 0},
                     indexed.identity.size);
    copy.run_room_wanted =
        room == nullptr && kept >= LEAST_KEPT_FOR_ROOM && options.max_messages <= MAX_INDEX_ENTRIES;
    copy.gathered = indexed.identity.size >= SMALLEST_GATHERED_AVERAGE * indexed.count;
    copy.log = platform_open_write(log_path);
    if (copy.log == nullptr) {
        print_message<MSG_FILE_OPEN_ERROR>(log_path);
        return -1;
    }
    int copied = copy_all(&copy, indexed);
    if (copied == 0) {
        copied = write_pending(&copy);
    }
    unmap_windows(&copy.windows);
    return close_new_log(copy, copied);
}

int compare_sorted_log(PlatformFile* source, const char* source_name, const IndexedLog& indexed,
                       const RunOptions& options, size_t window_size) {
    LogCopy copy;
    start_copy(&copy, source, source_name, nullptr, options, window_size);
    const int compared = copy_all(&copy, indexed);
    unmap_windows(&copy.windows);
    if (compared != 0) {
        return copy.differs ? 1 : -1;
    }
    // The new log would end where the log does.
    char past_end;
    const int64_t more = platform_read_at(source, copy.compared, &past_end, 1);
    if (more < 0) {
        return report_read_error(source_name);
    }
    return more == 0 ? 0 : 1;
}
