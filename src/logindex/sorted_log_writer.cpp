// Writes the sorted log: each message copied from the saved copy at its
// offset, repeats passed over, and for NIFTY SERVE the latest forum banner
// line at the head and no other banner line.
#include "logindex/sorted_log_writer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/run_options.h"
#include "logindex/forum_banner.h"
#include "match/pattern_match.h"
#include "platform/platform.h"

namespace {

// A piece this long is the front part of a longer line, not a cut-off end.
constexpr int FULL_PIECE_LENGTH = LINE_BUFFER_SIZE - 1;
// With line checking a PC-VAN message runs for its body's line count plus the
// header lines and the lines around the body.
constexpr int64_t LINES_AROUND_BODY = 5;

struct LogCopy {
    PlatformFile* saved;
    PlatformFile* log;
    const char* saved_path;
    const char* log_path;
    char line[LINE_BUFFER_SIZE];
    int length;      // bytes in `line`, NULs inside included
    bool line_open;  // the last byte written to the log is not a line feed
};

int report_read_error(const LogCopy& copy) {
    std::fprintf(stderr, "Read Error: %s: %s\n", copy.saved_path, std::strerror(errno));
    return -1;
}

int report_write_error(const LogCopy& copy) {
    std::fprintf(stderr, "Write Error: %s: %s\n", copy.log_path, std::strerror(errno));
    return -1;
}

bool line_matches(const char* line, int pattern) {
    MatchRegisters regs;
    return match_pattern(&regs, line, HEADER_PATTERNS[pattern]) > 0;
}

// 1 with a line, 0 at the end of the saved copy, -1 after a reported error.
int read_saved_line(LogCopy* copy) {
    copy->length = platform_read_line(copy->saved, copy->line, LINE_BUFFER_SIZE);
    if (copy->length < 0) {
        return report_read_error(*copy);
    }
    return copy->length > 0 ? 1 : 0;
}

int write_bytes(LogCopy* copy, const char* bytes, size_t length) {
    if (length == 0) {
        return 0;
    }
    if (platform_write(copy->log, bytes, length) != 0) {
        return report_write_error(*copy);
    }
    copy->line_open = bytes[length - 1] != '\n';
    return 0;
}

// The last line of the saved copy may lack its line end (a DOS end-of-file
// mark, say). Written before another message, it would run into that
// message's header line, which the next run would no longer recognise; so a
// message always starts on a line of its own, ended like its header line.
int start_on_new_line(LogCopy* copy) {
    if (!copy->line_open) {
        return 0;
    }
    const bool crlf = copy->length >= 2 && copy->line[copy->length - 2] == '\r' &&
                      copy->line[copy->length - 1] == '\n';
    return write_bytes(copy, crlf ? "\r\n" : "\n", crlf ? 2 : 1);
}

// NIFTY SERVE keeps a line that ends in a line feed, except banner lines, and
// a full piece of a longer line; a shorter end without a line feed (an
// end-of-file mark, say) is dropped. The last byte is taken from the length,
// since a NUL may stand inside the line.
bool nifty_keeps_line(const LogCopy& copy) {
    if (copy.line[copy.length - 1] == '\n') {
        return !line_matches(copy.line, PATTERN_NIFTY_BANNER);
    }
    return copy.length == FULL_PIECE_LENGTH;
}

// A negative count never occurs in a well-formed log; it is taken as 0, as
// the indexer does. 64 bits keep a huge count from overflowing.
int64_t lines_to_copy(const MessageIndexEntry& entry) {
    const int64_t count = entry.line_count > 0 ? entry.line_count : 0;
    return count + LINES_AROUND_BODY;
}

// Copies one message from its offset until its stop rule ends it: a line
// count for PC-VAN with line checking, else the next header line 1.
int copy_message(LogCopy* copy, const MessageIndexEntry& entry) {
    if (platform_seek(copy->saved, entry.offset) != 0) {
        return report_read_error(*copy);
    }
    const bool counted = run_options.service == SERVICE_PCVAN && run_options.line_check;
    int64_t lines_left = lines_to_copy(entry);
    for (int64_t lines_read = 0;; ++lines_read) {
        const int status = read_saved_line(copy);
        if (status <= 0) {
            return status;
        }
        if (counted) {
            if (lines_left <= 0) {
                return 0;
            }
            --lines_left;
        } else if (lines_read > 0 && line_matches(copy->line, run_options.service)) {
            return 0;
        }
        if (lines_read == 0 && start_on_new_line(copy) != 0) {
            return -1;
        }
        const bool keep = run_options.service == SERVICE_PCVAN || nifty_keeps_line(*copy);
        if (keep && write_bytes(copy, copy->line, static_cast<size_t>(copy->length)) != 0) {
            return -1;
        }
    }
}

// A repeat is an entry whose number equals the one just before it; the first
// entry never is, whatever its number.
int copy_messages(LogCopy* copy, const MessageIndex index, int count) {
    for (int i = 0; i < count; ++i) {
        if (i > 0 && index[i].number == index[i - 1].number) {
            continue;
        }
        if (copy_message(copy, index[i]) != 0) {
            return -1;
        }
    }
    return 0;
}

int write_banner(LogCopy* copy) {
    if (run_options.service != SERVICE_NIFTY || latest_banner_length == 0) {
        return 0;
    }
    return write_bytes(copy, latest_banner_line, latest_banner_length);
}

// Both streams are closed whatever happened; a failure of any step counts.
int close_streams(const LogCopy& copy, int result) {
    if (result == 0 && platform_flush(copy.log) != 0) {
        result = report_write_error(copy);
    }
    if (platform_close(copy.saved) != 0 && result == 0) {
        result = report_read_error(copy);
    }
    if (platform_close(copy.log) != 0 && result == 0) {
        result = report_write_error(copy);
    }
    return result;
}

}  // namespace

int write_sorted_log(const char* saved_path, const char* log_path, const MessageIndex index,
                     int count) {
    LogCopy copy;
    copy.saved_path = saved_path;
    copy.log_path = log_path;
    copy.length = 0;
    copy.line_open = false;
    copy.saved = platform_open_read(saved_path);
    if (copy.saved == nullptr) {
        std::fprintf(stderr, "File Open Error: %s\n", saved_path);
        return -1;
    }
    copy.log = platform_open_write(log_path);
    if (copy.log == nullptr) {
        std::fprintf(stderr, "File Open Error: %s\n", log_path);
        platform_close(copy.saved);
        return -1;
    }
    int result = write_banner(&copy);
    if (result == 0) {
        result = copy_messages(&copy, index, count);
    }
    return close_streams(copy, result);
}
