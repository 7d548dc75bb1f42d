// One pass over a log: every message header becomes an index entry, in file
// order. NIFTY SERVE forum banner lines go to the banner tracker instead.
#include "logindex/log_indexer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "logindex/forum_banner.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/sjis_string.h"

namespace {

// "Error! 発言ヘッダが不正です\n"
constexpr char HEADER_ERROR_MESSAGE[] =
    "Error! \x94\xad\x8c\xbe\x83\x77\x83\x62\x83\x5f\x82\xaa\x95\x73\x90\xb3\x82\xc5\x82\xb7\n";
// "Error! 複数の会議室ログが含まれているようです\n"
constexpr char ROOM_ERROR_MESSAGE[] =
    "Error! \x95\xa1\x90\x94\x82\xcc\x89\xef\x8b\x63\x8e\xba\x83\x8d\x83\x4f\x82\xaa\x8a\xdc"
    "\x82\xdc\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xe6\x82\xa4\x82\xc5\x82\xb7\n";

// The PC-VAN line count "(n)" is searched from this column of line 2 on.
constexpr int LINE_COUNT_COLUMN = 38;

struct LogReader {
    PlatformFile* file;
    const char* path;
    HeaderMatchers matchers;
    char line[LINE_BUFFER_SIZE];
    int length;  // bytes read into `line`, NULs inside included
};

struct HeaderDate {
    int year;  // four digits, after the century rule
    int month;
    int day;
    int hour;
    int minute;
};

// 1 with a line (or a piece of a longer one), 0 at the end, -1 on a read error.
int read_next_line(LogReader* reader) {
    reader->length = platform_read_line(reader->file, reader->line, LINE_BUFFER_SIZE);
    if (reader->length < 0) {
        return report_read_error(reader->path);
    }
    return reader->length > 0 ? 1 : 0;
}

// Numbers are read from the line as a C string: a column at or past its end
// (or past a NUL inside it) is an empty field, never a stale byte of an
// earlier, longer line.
int32_t read_field(const char* line, int column) {
    if (std::strlen(line) <= static_cast<size_t>(column)) {
        return 0;
    }
    return read_number(line + column);
}

const char* find_line_count_paren(const char* line) {
    if (std::strlen(line) <= static_cast<size_t>(LINE_COUNT_COLUMN)) {
        return nullptr;
    }
    return sjis_strchr(line + LINE_COUNT_COLUMN, '(');
}

// Lines of body that a PC-VAN count covers: the body and the two lines that
// close a message. A negative count never occurs in a well-formed log; it is
// taken as 0, the same as in the writer.
int64_t lines_covered_by_count(int32_t count) {
    if (count <= 0) {
        return 1;
    }
    return static_cast<int64_t>(count) + 2;
}

int discard_lines(LogReader* reader, int64_t lines) {
    for (int64_t i = 0; i < lines; ++i) {
        int status = read_next_line(reader);
        if (status <= 0) {
            return status;
        }
    }
    return 0;
}

HeaderDate read_header_date(const char* line2) {
    const int* columns = HEADER_COLUMNS[run_options.service];
    HeaderDate date;
    date.year = full_year(read_field(line2, columns[COLUMN_YEAR]));
    date.month = read_field(line2, columns[COLUMN_MONTH]);
    date.day = read_field(line2, columns[COLUMN_DAY]);
    date.hour = read_field(line2, columns[COLUMN_HOUR]);
    date.minute = read_field(line2, columns[COLUMN_MINUTE]);
    return date;
}

void print_dump_line(const MessageIndexEntry& entry, const HeaderDate& date) {
    std::printf("#%u %u/%u/%u(%u) %u:%u(%u) [%d]\n", static_cast<unsigned>(entry.number),
                static_cast<unsigned>(date.year), static_cast<unsigned>(date.month),
                static_cast<unsigned>(date.day), entry.date_key, static_cast<unsigned>(date.hour),
                static_cast<unsigned>(date.minute), entry.time_key, entry.line_count);
}

// NIFTY SERVE: the first non-zero room number is the log's room; every
// header after it must carry the same one.
bool room_is_consistent(const char* line2, int32_t* first_room) {
    int32_t room = read_field(line2, 1);
    if (*first_room == 0) {
        *first_room = room;
        return true;
    }
    return room == *first_room;
}

// Reads line 2 and the body lines a PC-VAN count covers, and fills `entry`
// (its offset is the caller's). 0, or -1 after a reported error.
int read_header(LogReader* reader, int32_t* first_room, MessageIndexEntry* entry) {
    const bool pcvan = run_options.service == SERVICE_PCVAN;
    entry->number = read_number(reader->line + (pcvan ? 1 : 0));
    entry->line_count = 0;

    int status = read_next_line(reader);
    if (status < 0) {
        return -1;
    }
    if (status == 0 || !line_matches(reader->line, reader->matchers.line2)) {
        std::fputs(HEADER_ERROR_MESSAGE, stderr);
        return -1;
    }
    const char* count_paren = pcvan ? find_line_count_paren(reader->line) : nullptr;
    if (!pcvan && !room_is_consistent(reader->line, first_room)) {
        std::fputs(ROOM_ERROR_MESSAGE, stderr);
        return -1;
    }
    const HeaderDate date = read_header_date(reader->line);
    entry->date_key = make_date_key(date.year, date.month, date.day);
    entry->time_key = make_time_key(date.hour, date.minute);

    if (pcvan && run_options.line_check && count_paren != nullptr) {
        entry->line_count = read_number(count_paren + 1);
        if (discard_lines(reader, lines_covered_by_count(entry->line_count)) < 0) {
            return -1;
        }
    }
    if (run_options.debug_dump) {
        print_dump_line(*entry, date);
    }
    return 0;
}

// Offsets are stored in 32 bits; a larger position must not wrap.
bool fits_in_offset(int64_t position) {
    return position >= 0 && position <= INT32_MAX;
}

}  // namespace

PlatformFileIdentity indexed_log_identity = {};

// The identity at the end must match the one at the start, and the size the
// bytes read: else a writer was at work while the log was read.
static void note_identity_at_end(PlatformFile* file, int64_t bytes_read) {
    PlatformFileIdentity now;
    if (platform_identify(file, &now) != 0 || now.size != bytes_read ||
        now.modified != indexed_log_identity.modified || now.size != indexed_log_identity.size) {
        indexed_log_identity.size = -1;
    }
}

// Header, room and limit errors stop the pass at once: the caller skips the
// log, so nothing indexed before them is used.
int build_index_from(PlatformFile* file, const char* path, MessageIndex index) {
    LogReader reader;
    reader.path = path;
    reader.file = file;
    prepare_header_matchers(run_options.service, &reader.matchers);
    if (platform_identify(reader.file, &indexed_log_identity) != 0) {
        indexed_log_identity.size = -1;
    }
    const bool nifty = run_options.service == SERVICE_NIFTY;
    if (nifty) {
        reset_forum_banner();
    }
    int count = 0;
    int result = 0;
    int64_t line_start = 0;
    int32_t first_room = 0;
    for (;;) {
        int status = read_next_line(&reader);
        if (status <= 0) {
            result = status < 0 ? -1 : count;
            break;
        }
        // A banner that is the unterminated last line counts too: the writer
        // ends it at the head of the new log.
        const bool banner = nifty && line_matches(reader.line, reader.matchers.banner);
        if (banner) {
            note_forum_banner(reader.line, static_cast<size_t>(reader.length));
        }
        if (banner || !line_matches(reader.line, reader.matchers.line1)) {
            // The next line starts where this one ends: no position query
            // for each of the 100,000 lines of a log read without counts.
            line_start += reader.length;
            continue;
        }
        if (!fits_in_offset(line_start)) {
            std::fprintf(stderr, "File Too Large: %s\n", path);
            result = -1;
            break;
        }
        MessageIndexEntry entry;
        entry.offset = static_cast<int32_t>(line_start);
        if (read_header(&reader, &first_room, &entry) != 0) {
            result = -1;
            break;
        }
        if (count == MAX_INDEX_ENTRIES) {
            std::fprintf(stderr, "Out of Range![%d]...", count + 1);
            result = 0;
            break;
        }
        index[count++] = entry;
        line_start = platform_tell(reader.file);
        if (line_start < 0) {
            result = report_read_error(path);
            break;
        }
    }
    if (result > 0) {
        note_identity_at_end(reader.file, line_start);
    }
    return result;
}

int build_index(const char* path, MessageIndex index) {
    PlatformFile* file = platform_open_read(path);
    if (file == nullptr) {
        std::fprintf(stderr, "File Open Error: %s\n", path);
        return -1;
    }
    int result = build_index_from(file, path, index);
    // A failed close of the log is as suspect as a failed read.
    if (platform_close(file) != 0 && result >= 0) {
        result = report_read_error(path);
    }
    return result;
}
