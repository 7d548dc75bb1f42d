// One pass over a log: every message header becomes an index entry, in file
// order. NIFTY SERVE forum banner lines go to the banner tracker instead.
#include "logindex/log_indexer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logindex/forum_banner.h"
#include "logindex/header_rules.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/messages.h"
#include "support/sjis_string.h"
#include "support/text_encoding.h"

namespace {

struct LogReader {
    PlatformFile* file;
    const char* path;
    const RunOptions* options;
    IndexedLog* indexed;
    HeaderMatchers matchers;
    char* line;  // in the file's buffer, until the next read
    int length;  // bytes of `line`, NULs inside included
    // PC-VAN with line counts: lines the writer copies of the last message
    // beyond those read with its header; -1 before the first message.
    int64_t lines_still_copied;
    int64_t lines_since_header;  // read after them, up to the next header
    bool banner_since_header;    // NIFTY SERVE: a banner line inside the last message
    bool may_begin_tested[256];  // first bytes of a header line 1 or a banner line
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
    const int length = platform_next_line(reader->file, &reader->line, LINE_BUFFER_SIZE - 1);
    if (length < 0) {
        return report_read_error(reader->path);
    }
    if (length == 0) {
        return 0;  // `length` keeps the last piece's
    }
    reader->length = length;
    return 1;
}

// Numbers are read from the line as a C string: a column at or past its end
// (or past a NUL inside it) is an empty field, never a stale byte of an
// earlier, longer line.
int32_t read_field(const char* line, size_t length, int column) {
    return length <= static_cast<size_t>(column) ? 0 : read_number(line + column);
}

// Lines no pattern is tested on: passed over without being handed out.
int discard_lines(LogReader* reader, int64_t lines) {
    int last_length = reader->length;
    if (platform_skip_lines(reader->file, lines, LINE_BUFFER_SIZE - 1, &last_length) < 0) {
        return report_read_error(reader->path);
    }
    reader->length = last_length;
    return 0;
}

HeaderDate read_header_date(const char* line2, int service) {
    const int* columns = HEADER_COLUMNS[service];
    const size_t length = std::strlen(line2);
    HeaderDate date;
    date.year = full_year(read_field(line2, length, columns[COLUMN_YEAR]));
    date.month = read_field(line2, length, columns[COLUMN_MONTH]);
    date.day = read_field(line2, length, columns[COLUMN_DAY]);
    date.hour = read_field(line2, length, columns[COLUMN_HOUR]);
    date.minute = read_field(line2, length, columns[COLUMN_MINUTE]);
    return date;
}

void print_dump_line(const MessageIndexEntry& entry, const HeaderDate& date) {
    print_message<MSG_DUMP_LINE>(
        static_cast<unsigned>(entry.number), static_cast<unsigned>(date.year),
        static_cast<unsigned>(date.month), static_cast<unsigned>(date.day), entry.date_key,
        static_cast<unsigned>(date.hour), static_cast<unsigned>(date.minute), entry.time_key,
        entry.line_count);
}

// NIFTY SERVE: the first non-zero room number is the log's room; every
// header after it must carry the same one.
bool room_is_consistent(const char* line2, int32_t* first_room) {
    int32_t room = read_field(line2, std::strlen(line2), 1);
    if (*first_room == 0) {
        *first_room = room;
        return true;
    }
    return room == *first_room;
}

// A header error names the header: its line number and first bytes. Only
// for a hint, so the log is read again up to the header rather than lines
// counted on every pass.
constexpr size_t HEADER_BYTES_SHOWN = 40;

// The line's first bytes up to its line end, never half a character.
size_t shown_header_length(const char* line) {
    size_t length = 0;
    while (length < HEADER_BYTES_SHOWN && line[length] != '\0' && line[length] != '\r' &&
           line[length] != '\n') {
        const bool lead = is_sjis_lead_byte(static_cast<unsigned char>(line[length]));
        if (lead && (length + 1 == HEADER_BYTES_SHOWN || line[length + 1] == '\0')) {
            break;
        }
        length += lead ? 2 : 1;
    }
    return length;
}

void hint_header_error(const char* path, int32_t offset) {
    if (!hints_shown()) {
        return;
    }
    PlatformFile* file = platform_open_read(path);
    if (file == nullptr) {
        return;
    }
    char line[LINE_BUFFER_SIZE];
    int64_t position = 0;
    long long line_number = 1;
    int length = 1;
    while (position < offset && (length = platform_read_line(file, line, LINE_BUFFER_SIZE)) > 0) {
        position += length;
        line_number += line[length - 1] == '\n' ? 1 : 0;
    }
    length = position == offset ? platform_read_line(file, line, LINE_BUFFER_SIZE) : 0;
    platform_close(file);
    if (length > 0) {
        line[shown_header_length(line)] = '\0';
        char shown[4 * HEADER_BYTES_SHOWN];
        log_text_for_terminal(line, shown, sizeof shown);
        print_hint(
            "line %lld: the header \"%s\" is not followed by its second line; "
            "mend or remove it",
            line_number, shown);
    }
}

// Reads line 2 and the body lines a PC-VAN count covers, and fills `entry`
// (its offset is the caller's). 0, or -1 after a reported error.
int read_header(LogReader* reader, int32_t* first_room, MessageIndexEntry* entry) {
    const RunOptions& options = *reader->options;
    const bool pcvan = options.service == SERVICE_PCVAN;
    entry->number = read_number(reader->line + (pcvan ? 1 : 0));
    entry->line_count = 0;

    int status = read_next_line(reader);
    if (status < 0) {
        return -1;
    }
    if (status == 0 || !line_matches(reader->line, reader->matchers.line2)) {
        reader->indexed->shape.header_error = 1;
        print_message<MSG_HEADER_ERROR>();
        hint_header_error(reader->path, entry->offset);
        return -1;
    }
    const char* count_paren = pcvan ? find_line_count_paren(reader->line) : nullptr;
    if (!pcvan && !room_is_consistent(reader->line, first_room)) {
        reader->indexed->shape.header_error = 1;
        print_message<MSG_ROOM_ERROR>();
        return -1;
    }
    const HeaderDate date = read_header_date(reader->line, options.service);
    entry->date_key = make_date_key(date.year, date.month, date.day);
    entry->time_key = make_time_key(date.hour, date.minute);

    int64_t lines_read = 2;
    if (pcvan && options.line_check && count_paren != nullptr) {
        entry->line_count = read_number(count_paren + 1);
        lines_read += lines_covered_by_count(entry->line_count);
        if (discard_lines(reader, lines_covered_by_count(entry->line_count)) < 0) {
            return -1;
        }
    }
    if (pcvan && options.line_check) {
        reader->lines_still_copied = lines_copied_by_count(entry->line_count) - lines_read;
        reader->lines_since_header = 0;
    }
    if (options.debug_dump) {
        print_dump_line(*entry, date);
    }
    return 0;
}

// A line whose first byte can begin neither a header line 1 nor a banner
// line matches neither: most lines of a log, passed over in bulk.
void note_tested_first_bytes(LogReader* reader) {
    const bool nifty = reader->options->service == SERVICE_NIFTY;
    for (int byte = 0; byte < 256; ++byte) {
        reader->may_begin_tested[byte] = reader->matchers.line1.may_begin[byte] ||
                                         (nifty && reader->matchers.banner.may_begin[byte]);
    }
}

// The lines before the next that may be a header or banner line, each of
// which the main loop would pass over. 0, or -1 after a reported error.
int pass_over_plain_lines(LogReader* reader, int64_t* line_start) {
    int64_t bytes = 0;
    int last_length = reader->length;
    const int64_t passed = platform_skip_plain_lines(reader->file, reader->may_begin_tested,
                                                     LINE_BUFFER_SIZE - 1, &bytes, &last_length);
    if (passed < 0) {
        return report_read_error(reader->path);
    }
    *line_start += bytes;
    reader->lines_since_header += passed;
    reader->length = last_length;
    return 0;
}

// Offsets are stored in 32 bits; a larger position must not wrap.
bool fits_in_offset(int64_t position) {
    return position >= 0 && position <= INT32_MAX;
}

}  // namespace

// The entries and the spans of `room` messages, moved into blocks of that
// room where they are not already; false when memory is short (the blocks
// already grown stay the log's).
static bool hold_room(IndexedLog* indexed, int room) {
    const auto size = static_cast<size_t>(room);
    void* entries = std::realloc(indexed->entries, size * sizeof(MessageIndexEntry));
    if (entries != nullptr) {
        indexed->entries = static_cast<MessageIndex>(entries);
    }
    void* offsets = std::realloc(indexed->spans.offsets, size * sizeof(int32_t));
    if (offsets != nullptr) {
        indexed->spans.offsets = static_cast<int32_t*>(offsets);
    }
    void* whole = std::realloc(indexed->spans.whole, size * sizeof(bool));
    if (whole != nullptr) {
        indexed->spans.whole = static_cast<bool*>(whole);
    }
    return entries != nullptr && offsets != nullptr && whole != nullptr;
}

IndexedLog* create_indexed_log() {
    auto* indexed = static_cast<IndexedLog*>(std::calloc(1, sizeof(IndexedLog)));
    if (indexed == nullptr) {
        return nullptr;
    }
    if (!hold_room(indexed, MAX_INDEX_ENTRIES)) {
        destroy_indexed_log(indexed);
        return nullptr;
    }
    indexed->room = MAX_INDEX_ENTRIES;
    return indexed;
}

void destroy_indexed_log(IndexedLog* indexed) {
    if (indexed != nullptr) {
        std::free(indexed->entries);
        std::free(indexed->spans.offsets);
        std::free(indexed->spans.whole);
        std::free(indexed);
    }
}

// Room for one more entry past `count`: the entries and spans double as the
// log needs, up to the limit, and keep that room for the next log. -1 when
// they cannot grow ("Memory Allocate Error!" reported).
static int make_room(IndexedLog* indexed, int count, int max_messages) {
    if (count < indexed->room) {
        return 0;
    }
    const int64_t wanted = std::min<int64_t>(int64_t{indexed->room} * 2, max_messages);
    if (!hold_room(indexed, static_cast<int>(wanted))) {
        print_message<MSG_MEMORY_ERROR>();
        return -1;
    }
    indexed->room = static_cast<int>(wanted);
    return 0;
}

// Where the banner lines of a NIFTY SERVE log stand: a check tells from them
// whether the writer's head (the latest banner line) is the log's head.
static void note_banner_place(IndexedLogShape* shape_out, int64_t line_start, int length,
                              bool before_first_message) {
    IndexedLogShape& shape = *shape_out;
    if (shape.banner_lines++ == 0) {
        shape.banner_at_head = line_start == 0;
    }
    if (before_first_message) {
        shape.leading_banner_bytes += length;
    }
}

// Whether the log's last piece, `last_length` bytes, has no line end and is
// shorter than a full piece (the writer drops such a NIFTY SERVE line, or
// ends it): 1 or 0, or -1 when it cannot be read. Its last byte is read again
// at the end, so that reading each line costs nothing more.
static int ends_open(PlatformFile* file, int last_length) {
    const int64_t size = platform_tell(file);
    char last = '\n';
    if (size < 0 || (size > 0 && platform_read_at(file, size - 1, &last, 1) != 1)) {
        return -1;
    }
    return last != '\n' && last_length < LINE_BUFFER_SIZE - 1 ? 1 : 0;
}

// PC-VAN with line counts: the writer copies a message's counted lines, and
// stops early at the next header as at the end of the log, so a log keeps its
// bytes only where each message's count reaches at least to the next header.
// Called at each header and at the end of the log.
static bool note_count_fit(const LogReader& reader) {
    if (reader.lines_still_copied < 0) {
        return true;
    }
    const bool fits = reader.lines_since_header <= reader.lines_still_copied;
    reader.indexed->shape.lines_misplaced += fits ? 0 : 1;
    return fits;
}

// At each header after the first: the message before it is copied whole
// unless its line count stops short of this header or runs into it, or a
// banner line inside it is dropped.
static void note_span_end(LogReader* reader, int count, bool count_fits) {
    if (count > 0) {
        reader->indexed->spans.whole[count - 1] = count_fits && !reader->banner_since_header;
    }
    reader->banner_since_header = false;
}

static void note_span_start(MessageSpans* spans, int count, int32_t offset) {
    spans->offsets[count] = offset;
    spans->whole[count] = false;  // until the next header is seen
    spans->count = count + 1;
}

// The identity at the end must match the one at the start, and the size the
// bytes read: else a writer was at work while the log was read.
static void note_identity_at_end(PlatformFile* file, int64_t bytes_read,
                                 PlatformFileIdentity* identity) {
    PlatformFileIdentity now;
    if (platform_identify(file, &now) != 0 || now.size != bytes_read ||
        now.modified != identity->modified || now.size != identity->size) {
        identity->size = -1;
    }
}

// Header, room and limit errors stop the pass at once: the caller skips the
// log, so nothing indexed before them is used.
int index_log(PlatformFile* file, const char* path, const RunOptions& options,
              IndexedLog* indexed) {
    LogReader reader;
    reader.path = path;
    reader.file = file;
    reader.options = &options;
    reader.indexed = indexed;
    reader.lines_still_copied = -1;
    reader.lines_since_header = 0;
    reader.banner_since_header = false;
    reader.line = nullptr;
    reader.length = 0;
    prepare_header_matchers(options.service, &reader.matchers);
    note_tested_first_bytes(&reader);
    if (platform_identify(reader.file, &indexed->identity) != 0) {
        indexed->identity.size = -1;
    }
    const bool nifty = options.service == SERVICE_NIFTY;
    reset_forum_banner(&indexed->banner);
    indexed->shape = {};
    indexed->spans.count = 0;
    indexed->count = 0;
    int count = 0;
    int result = 0;
    int64_t line_start = 0;
    int32_t first_room = 0;
    for (;;) {
        if (pass_over_plain_lines(&reader, &line_start) != 0) {
            result = -1;
            break;
        }
        int status = read_next_line(&reader);
        if (status <= 0) {
            result = status < 0 ? -1 : count;
            note_count_fit(reader);
            const int open = status == 0 ? ends_open(reader.file, reader.length) : 0;
            if (open < 0) {
                result = report_read_error(path);
            }
            indexed->shape.ends_open = open > 0;
            break;
        }
        // A banner that is the unterminated last line counts too: the writer
        // ends it at the head of the new log.
        const bool banner = nifty && line_matches(reader.line, reader.matchers.banner);
        if (banner) {
            note_forum_banner(&indexed->banner, reader.line, static_cast<size_t>(reader.length));
            note_banner_place(&indexed->shape, line_start, reader.length, count == 0);
            reader.banner_since_header = true;
        }
        if (banner || !line_matches(reader.line, reader.matchers.line1)) {
            // The next line starts where this one ends: no position query
            // for each of the 100,000 lines of a log read without counts.
            line_start += reader.length;
            ++reader.lines_since_header;
            continue;
        }
        note_span_end(&reader, count, note_count_fit(reader));
        if (!fits_in_offset(line_start)) {
            print_message<MSG_FILE_TOO_LARGE>(path);
            result = -1;
            break;
        }
        MessageIndexEntry entry;
        entry.offset = static_cast<int32_t>(line_start);
        if (read_header(&reader, &first_room, &entry) != 0) {
            result = -1;
            break;
        }
        if (count == options.max_messages) {
            print_message<MSG_OUT_OF_RANGE>(count + 1);
            indexed->shape.overflowed = 1;
            result = 0;
            break;
        }
        if (make_room(indexed, count, options.max_messages) != 0) {
            result = -1;
            break;
        }
        note_span_start(&indexed->spans, count, entry.offset);
        indexed->entries[count++] = entry;
        line_start = platform_tell(reader.file);
        if (line_start < 0) {
            result = report_read_error(path);
            break;
        }
    }
    if (result > 0) {
        note_identity_at_end(reader.file, line_start, &indexed->identity);
    }
    indexed->count = std::max(result, 0);
    return result;
}

// Only asked for a hint, so it gives up at the first failure and reports nothing.
bool reads_as_service(const char* path, int service) {
    LogReader reader;
    reader.path = path;
    prepare_header_matchers(service, &reader.matchers);
    reader.file = platform_open_read(path);
    if (reader.file == nullptr) {
        return false;
    }
    bool line1_before = false;
    bool found = false;
    while (!found && platform_next_line(reader.file, &reader.line, LINE_BUFFER_SIZE - 1) > 0) {
        found = line1_before && line_matches(reader.line, reader.matchers.line2);
        line1_before = line_matches(reader.line, reader.matchers.line1);
    }
    platform_close(reader.file);
    return found;
}
