// --check reads and indexes a log exactly as a run does and then, instead of
// writing, tells what the writer would change: from the index where that
// settles it, else from the writer's own comparison, the one a run makes
// before it rewrites anything.
#include "driver/log_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "logindex/index_sort.h"
#include "logindex/log_indexer.h"
#include "logindex/sorted_log_writer.h"
#include "support/messages.h"

namespace {

// The writer writes the latest banner line first and then the messages from
// their headers on: a log keeps its head when it begins with its only banner
// line, or with its first message. Banner lines before the first message are
// counted as banner lines, not as text. A banner line whose date the banner
// rule ignores (month 00, a room title with a "/") is never written again,
// and with no dated one there is no banner line at the head at all.
void count_head_changes(const IndexedLog& indexed, int service, LogChanges* changes) {
    const IndexedLogShape& shape = indexed.shape;
    int64_t banner_bytes = 0;
    if (service == SERVICE_NIFTY && shape.banner_lines > 0) {
        const bool kept = indexed.banner.length > 0;
        changes->banner_lines_dropped = shape.banner_lines - (kept ? 1 : 0);
        changes->banner_moved = kept && !shape.banner_at_head;
        banner_bytes = shape.leading_banner_bytes;
    }
    // The spans begin with the first message of the file.
    changes->leading_text_dropped =
        indexed.spans.count > 0 && indexed.spans.offsets[0] != banner_bytes;
    // A NIFTY SERVE log's unended last line is dropped, or ended when it is a
    // header's line 2; PC-VAN keeps it.
    changes->lines_changed =
        shape.lines_misplaced > 0 || (service == SERVICE_NIFTY && shape.ends_open);
}

// Offsets of the kept messages in the order a run writes them, compared with
// the same offsets in file order: each place that differs is a moved message.
int count_moves(const MessageIndexEntry* sorted, int count, LogChanges* changes) {
    auto* written = static_cast<int32_t*>(std::malloc(2 * static_cast<size_t>(count) * 4));
    if (written == nullptr) {
        print_message<MSG_MEMORY_ERROR>();
        return -1;
    }
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (is_repeat(sorted, i)) {
            ++changes->repeats_dropped;
        } else {
            written[kept++] = sorted[i].offset;
        }
    }
    int32_t* file_order = written + count;
    std::copy(written, written + kept, file_order);
    std::sort(file_order, file_order + kept);
    for (int i = 0; i < kept; ++i) {
        changes->messages_moved += written[i] != file_order[i] ? 1 : 0;
    }
    std::free(written);
    return 0;
}

const char* plural(int count) {
    return count == 1 ? "" : "s";
}

void print_changes(const char* shown_name, const LogChanges& changes, int service) {
    print_message<MSG_CHECK_CHANGES>(shown_name, changes.messages_moved, changes.repeats_dropped,
                                     plural(changes.repeats_dropped));
    if (service == SERVICE_NIFTY) {
        print_message<MSG_CHECK_BANNER_LINES>(changes.banner_lines_dropped,
                                              plural(changes.banner_lines_dropped));
    }
    if (changes.banner_moved) {
        print_message<MSG_CHECK_BANNER_MOVED>();
    }
    if (changes.leading_text_dropped) {
        print_message<MSG_CHECK_LEADING_TEXT>();
    }
    if (changes.lines_changed) {
        print_message<MSG_CHECK_LINES_CHANGED>();
    }
    print_message<MSG_CHECK_END>();
}

}  // namespace

int log_would_change(PlatformFile* log, const char* log_name, const IndexedLog& indexed,
                     const RunOptions& options, LogChanges* changes) {
    *changes = {};
    count_head_changes(indexed, options.service, changes);
    if (count_moves(indexed.entries, indexed.count, changes) != 0) {
        return -1;
    }
    // A message written elsewhere, or text before the first one gone, is a
    // change however the messages are copied; a log where the index finds
    // nothing at all (each count reaching exactly to the next header) is
    // copied whole, message by message. Everything else (repeats a count
    // already covers, counts that stop short or run on, banner lines, line
    // ends) the writer's own comparison settles, stopping at the first
    // difference. On a 10 MB log in order it costs a third more than
    // indexing (40 ms against 30), so only such logs pay for it.
    if (changes->messages_moved > 0 || changes->leading_text_dropped) {
        return 1;
    }
    if (changes->repeats_dropped == 0 && changes->banner_lines_dropped == 0 &&
        !changes->banner_moved && !changes->lines_changed) {
        return 0;
    }
    return compare_sorted_log(log, log_name, indexed, options);
}

int check_log(const char* shown_name, PlatformFile* log, const char* log_name,
              const IndexedLog& indexed, const RunOptions& options) {
    LogChanges changes;
    const int verdict = log_would_change(log, log_name, indexed, options, &changes);
    if (verdict < 0) {
        return -1;
    }
    if (options.list_only) {
        if (verdict == 1) {
            print_message<MSG_CHECK_LISTED>(shown_name);
        }
    } else if (verdict == 0) {
        print_message<MSG_CHECK_IN_ORDER>(shown_name);
    } else {
        print_changes(shown_name, changes, options.service);
    }
    std::fflush(stdout);
    return verdict;
}
