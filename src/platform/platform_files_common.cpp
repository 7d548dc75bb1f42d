// Binary file streams over the C runtime's stdio, shared by both platforms.
// Lines are served from a buffer of our own: the log job reads every line of a
// log twice, and a byte-at-a-time fgets costs more than the rest of the job.
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "match/line_feeds.h"
#include "platform/platform.h"
#include "platform/platform_names.h"

namespace {

// 64 KiB: a 7 MB log takes 112 reads. Each page of a buffer costs a fault
// when first touched, which on the virtual machines measured took about
// 13 us, as long as a dozen reads: a 128 KiB buffer cost more than the reads
// it saved, on every log of up to 8 MB.
constexpr size_t READ_BUFFER_SIZE = 64 * 1024;
// The first read after a seek away from the buffer: the writer seeks to every
// message it copies, and a message is a few KiB. Sequential reads double the
// size from there up to the whole buffer.
constexpr size_t FIRST_READ_AFTER_SEEK = 8 * 1024;

}  // namespace

struct PlatformFile {
    FILE* stream;
    int64_t buffer_start;  // file position of buffer[0]
    size_t buffered;       // bytes valid in buffer
    size_t next;           // index of the next byte to hand out
    size_t read_size;      // bytes the next refill asks for
    bool writing;
    bool write_failed;
    bool nul_placed;     // buffer[next] holds the NUL after a line lent in place
    char held_byte;      // the byte that NUL covers
    LineFeedScan feeds;  // of the bytes buffered
    // Lines read, or the stream's write buffer; and room for the NUL after a
    // line that ends the buffer.
    char buffer[READ_BUFFER_SIZE + 1];
};

// A run has two files open at once (the log and the new log) and opens two
// more for each further log. The C library maps a block this size afresh at
// every malloc and unmaps it at every free, and on the virtual machines
// measured an unmap took about 0.3 ms, as long as reading a megabyte: the
// blocks of closed files are kept for the next files opened instead.
constexpr int KEPT_FILE_BLOCKS = 2;
static PlatformFile* kept_file_blocks[KEPT_FILE_BLOCKS];

// The block platform_reserve_working_memory reserved and how much of it is
// handed out.
static char* working_memory = nullptr;
static size_t working_memory_used = 0;

void platform_reserve_working_memory() {
    if (working_memory == nullptr) {
        working_memory = map_large_page_block();
    }
}

void* platform_working_memory(size_t size) {
    constexpr size_t ALIGNMENT = 64;
    const size_t rounded = (size + ALIGNMENT - 1) & ~(ALIGNMENT - 1);
    if (working_memory == nullptr || rounded < size ||
        rounded > PLATFORM_WORKING_MEMORY - working_memory_used) {
        return nullptr;
    }
    void* block = working_memory + working_memory_used;
    working_memory_used += rounded;
    return block;
}

bool platform_is_working_memory(const void* block) {
    const auto* bytes = static_cast<const char*>(block);
    return working_memory != nullptr && bytes >= working_memory &&
           bytes < working_memory + PLATFORM_WORKING_MEMORY;
}

static PlatformFile* new_file_block() {
    for (PlatformFile*& kept : kept_file_blocks) {
        if (kept != nullptr) {
            PlatformFile* file = kept;
            kept = nullptr;
            return file;
        }
    }
    return static_cast<PlatformFile*>(std::malloc(sizeof(PlatformFile)));
}

static void free_file_block(PlatformFile* file) {
    for (PlatformFile*& kept : kept_file_blocks) {
        if (kept == nullptr) {
            kept = file;
            return;
        }
    }
    std::free(file);
}

static PlatformFile* wrap_stream(FILE* stream, bool writing) {
    PlatformFile* file = new_file_block();
    if (file == nullptr) {
        std::fclose(stream);
        errno = ENOMEM;
        return nullptr;
    }
    file->stream = stream;
    file->buffer_start = 0;
    file->buffered = 0;
    file->next = 0;
    file->read_size = READ_BUFFER_SIZE;
    file->writing = writing;
    file->write_failed = false;
    file->nul_placed = false;
    file->held_byte = '\0';
    forget_line_feeds(&file->feeds);
    // Reads go straight into our buffer, without a copy through the
    // runtime's; writes are gathered in it, since the runtime's own few KiB
    // would cost a system call for every couple of messages. (It must be
    // given the memory: asked for a size alone, it may keep its default.)
    // Best effort: the stream works either way.
    if (writing) {
        std::setvbuf(stream, file->buffer, _IOFBF, READ_BUFFER_SIZE);
    } else {
        std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    return file;
}

static PlatformFile* open_stream(const char* name, const char* mode, bool writing) {
    FILE* stream = std::fopen(name, mode);
    if (stream == nullptr) {
        return nullptr;
    }
    return wrap_stream(stream, writing);
}

PlatformFile* platform_wrap_read_stream(FILE* stream) {
    return wrap_stream(stream, false);
}

bool platform_fail_if_injected(PlatformOperation operation) {
    int error = platform_injected_failure(operation);
    if (error != 0) {
        errno = error;
        return true;
    }
    return false;
}

PlatformFile* platform_open_read(const char* path) {
    if (platform_fail_if_injected(OP_OPEN)) {
        return nullptr;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return nullptr;
    }
    FILE* stream = open_read_stream(name);
    if (stream == nullptr) {
        return nullptr;
    }
    return wrap_stream(stream, false);
}

// The file platform_create_new made, until platform_open_write takes it.
static FILE* created_stream = nullptr;
static char created_path[NAME_BUFFER_SIZE];

void platform_drop_new() {
    if (created_stream != nullptr) {
        std::fclose(created_stream);
        created_stream = nullptr;
    }
}

int platform_create_new(const char* path) {
    platform_drop_new();
    if (platform_fail_if_injected(OP_OPEN)) {
        return -1;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_new_name(path, name, sizeof name) != 0) {
        return -1;
    }
    created_stream = open_new_stream(name);
    if (created_stream == nullptr) {
        return -1;
    }
    // resolve_new_name has checked that `path` fits.
    std::memcpy(created_path, path, std::strlen(path) + 1);
    return 0;
}

void platform_offer_new(FILE* stream, const char* path) {
    platform_drop_new();
    created_stream = stream;
    std::memcpy(created_path, path, std::strlen(path) + 1);
}

PlatformFile* platform_open_write(const char* path) {
    if (platform_fail_if_injected(OP_OPEN)) {
        return nullptr;
    }
    if (created_stream != nullptr && std::strcmp(path, created_path) == 0) {
        FILE* stream = created_stream;
        created_stream = nullptr;
        return wrap_stream(stream, true);
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_new_name(path, name, sizeof name) != 0) {
        return nullptr;
    }
    return open_stream(name, "wb", true);
}

// The byte under the NUL after the last line lent in place goes back before
// the buffer is used again.
static void restore_held_byte(PlatformFile* file) {
    if (file->nul_placed) {
        file->buffer[file->next] = file->held_byte;
        file->nul_placed = false;
    }
}

// Reads on after the bytes not yet handed out, which move to the front of the
// buffer: up to `size` bytes in one read, as far as the buffer has room.
// False at the end of the file or on an error.
static bool read_more(PlatformFile* file, size_t size, bool* failed) {
    const size_t kept = file->buffered - file->next;
    std::memmove(file->buffer, file->buffer + file->next, kept);
    forget_line_feeds(&file->feeds);
    file->buffer_start += static_cast<int64_t>(file->next);
    file->buffered = kept;
    file->next = 0;
    if (platform_fail_if_injected(OP_READ)) {
        *failed = true;
        return false;
    }
    const size_t room = READ_BUFFER_SIZE - kept;
    const size_t got = read_stream_at(file->stream, file->buffer_start + static_cast<int64_t>(kept),
                                      file->buffer + kept, size < room ? size : room, failed);
    file->buffered += got;
    return got != 0;
}

// Lines are read in pieces that grow from a seek on.
static bool read_more_lines(PlatformFile* file, bool* failed) {
    const bool got = read_more(file, file->read_size, failed);
    if (file->read_size < READ_BUFFER_SIZE) {
        file->read_size *= 2;
    }
    return got;
}

// The next piece from file->next on, reading on as needed: its length, 0 at
// the end of the file, -1 on a read error.
[[gnu::always_inline]] static inline int64_t next_piece_length(PlatformFile* file, size_t most) {
    bool failed = false;
    for (;;) {
        const size_t take =
            line_piece_length(&file->feeds, file->buffer, file->buffered, file->next, most, false);
        if (take > 0) {
            return static_cast<int64_t>(take);
        }
        if (!read_more_lines(file, &failed)) {
            return failed ? -1 : static_cast<int64_t>(file->buffered - file->next);
        }
    }
}

// The line is handed out where it lies; the copy a caller's buffer would
// cost is most of the work of reading a log.
int platform_next_line(PlatformFile* file, char** line, int limit) {
    restore_held_byte(file);
    if (limit < 1) {
        errno = EINVAL;
        return -1;
    }
    const int64_t take = next_piece_length(file, static_cast<size_t>(limit));
    if (take < 0) {
        return -1;
    }
    *line = file->buffer + file->next;
    file->next += static_cast<size_t>(take);
    file->held_byte = file->buffer[file->next];
    file->buffer[file->next] = '\0';
    file->nul_placed = true;
    return static_cast<int>(take);
}

// Set bits of a 64-bit mask; the baseline x86-64 has no instruction for it,
// and the library's call costs more than this.
static int64_t count_feeds(uint64_t mask) {
    mask -= (mask >> 1) & 0x5555555555555555ull;
    mask = (mask & 0x3333333333333333ull) + ((mask >> 2) & 0x3333333333333333ull);
    mask = (mask + (mask >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int64_t>((mask * 0x0101010101010101ull) >> 56);
}

// Where the line after the last line feed of a non-zero mask starts.
static size_t after_last_feed(size_t at, uint64_t mask) {
    return at + LINE_FEED_SPAN - static_cast<size_t>(std::countl_zero(mask));
}

// A non-zero mask without its last line feed.
static uint64_t without_last_feed(uint64_t mask) {
    return mask & ~(uint64_t{1} << (63 - std::countl_zero(mask)));
}

// Spans of 64 bytes whose line feeds are all passed over are only counted
// (most of a message's body): where its lines start is needed only for the
// last two, found from the masks of the last two spans that hold a line
// feed. Stops before the span holding the last line feed wanted, and
// wherever a line might grow as long as a piece (its start is bounded by
// the last span with a line feed); the exact pass goes on from the returned
// place with *line_start and *ended_start set.
static size_t count_whole_spans(const PlatformFile* file, int64_t* wanted, size_t limit,
                                size_t* line_start, size_t* ended_start) {
    const char* data = file->buffer;
    size_t last_fed = SIZE_MAX;
    size_t fed_before = SIZE_MAX;
    size_t since = file->next;  // the line being passed over starts here or later
    int64_t left = *wanted;
    for (size_t at = file->next; file->buffered - at >= LINE_FEED_SPAN; at += LINE_FEED_SPAN) {
        const int feeds = at + LINE_FEED_SPAN - since < limit ? line_feed_count(data + at) : -1;
        if (feeds < 0 || feeds >= left) {
            break;
        }
        if (feeds > 0) {
            left -= feeds;
            fed_before = last_fed;
            last_fed = at;
            since = at;
        }
    }
    if (last_fed == SIZE_MAX) {
        return file->next;
    }
    *wanted = left;
    const uint64_t mask = line_feed_mask(data + last_fed);
    *line_start = after_last_feed(last_fed, mask);
    const uint64_t before = without_last_feed(mask);
    if (before != 0) {
        *ended_start = after_last_feed(last_fed, before);
    } else if (fed_before != SIZE_MAX) {
        *ended_start = after_last_feed(fed_before, line_feed_mask(data + fed_before));
    }
    return last_fed + LINE_FEED_SPAN;
}

// Passes over lines 64 bytes at a time, counting their line feeds, while no
// line is as long as a piece; stops at a line boundary, with *wanted the
// lines still to pass over.
static void skip_by_masks(PlatformFile* file, int64_t* wanted, size_t limit, int* last_length) {
    if (limit < LINE_FEED_SPAN) {
        return;
    }
    size_t line_start = file->next;   // of the line being passed over
    size_t ended_start = line_start;  // of the last line passed over
    for (size_t at = count_whole_spans(file, wanted, limit, &line_start, &ended_start);
         *wanted > 0 && file->buffered - at >= LINE_FEED_SPAN; at += LINE_FEED_SPAN) {
        uint64_t mask = line_feed_mask(file->buffer + at);
        if (at + (mask == 0 ? LINE_FEED_SPAN : static_cast<size_t>(std::countr_zero(mask))) -
                line_start >=
            limit) {
            break;  // a long line: one piece at a time
        }
        if (mask == 0) {
            continue;
        }
        const int64_t feeds = count_feeds(mask);
        if (feeds < *wanted) {
            // All of them: the last two line feeds bound the last line.
            const uint64_t before = without_last_feed(mask);
            ended_start = before == 0 ? line_start : after_last_feed(at, before);
            line_start = after_last_feed(at, mask);
            *wanted -= feeds;
            continue;
        }
        for (int64_t k = 1; k < *wanted; ++k) {
            ended_start = at + static_cast<size_t>(std::countr_zero(mask)) + 1;
            mask &= mask - 1;
        }
        if (*wanted == 1) {
            ended_start = line_start;
        }
        line_start = at + static_cast<size_t>(std::countr_zero(mask)) + 1;
        *wanted = 0;
    }
    if (line_start != file->next) {
        *last_length = static_cast<int>(line_start - ended_start);
    }
    file->next = line_start;
}

int64_t platform_skip_lines(PlatformFile* file, int64_t lines, int limit, int* last_length) {
    restore_held_byte(file);
    if (limit < 1) {
        errno = EINVAL;
        return -1;
    }
    const size_t most = static_cast<size_t>(limit);
    int64_t skipped = 0;
    while (skipped < lines) {
        int64_t wanted = lines - skipped;
        skip_by_masks(file, &wanted, most, last_length);
        skipped = lines - wanted;
        if (wanted == 0) {
            break;
        }
        const int64_t take = next_piece_length(file, most);
        if (take <= 0) {
            if (take < 0) {
                return -1;
            }
            break;
        }
        file->next += static_cast<size_t>(take);
        *last_length = static_cast<int>(take);
        ++skipped;
    }
    return skipped;
}

// After the span at `at` without a line feed, far into a line: the span
// before the one that holds the next line feed, found by the C library many
// bytes a step (as find_line_feed_far).
// SIZE_MAX where the 64-byte steps would stop first: the line started at
// `line_start` reaches `limit`, or no whole span holds a line feed.
static size_t span_before_next_feed(const PlatformFile* file, size_t at, size_t line_start,
                                    size_t limit) {
    const size_t from = at + LINE_FEED_SPAN;
    const size_t spans_end = from + (file->buffered - from) / LINE_FEED_SPAN * LINE_FEED_SPAN;
    const void* feed = std::memchr(file->buffer + from, '\n', spans_end - from);
    if (feed == nullptr) {
        return SIZE_MAX;
    }
    const auto found = static_cast<size_t>(static_cast<const char*>(feed) - file->buffer);
    const size_t span = from + (found - from) / LINE_FEED_SPAN * LINE_FEED_SPAN;
    return span - line_start >= limit ? SIZE_MAX : span - LINE_FEED_SPAN;
}

// The plain lines of what the buffer holds from file->next on, 64 bytes at a
// time; stops at a line a header may begin, before a line that may be a
// piece's length, or before the last 64 bytes held: a span that ends the
// bytes held would need its last line feed's next byte, which is not yet
// read (the caller reads on, or hands the line out).
static int64_t skip_plain_by_masks(PlatformFile* file, const bool* may_begin, size_t limit,
                                   int64_t* bytes, int* last_length) {
    const auto* data = reinterpret_cast<const unsigned char*>(file->buffer);
    size_t line_start = file->next;
    size_t ended_start = line_start;  // of the last line passed over
    int64_t skipped = 0;
    bool stop = may_begin[data[line_start]];
    for (size_t at = line_start; !stop && file->buffered - at > LINE_FEED_SPAN;
         at += LINE_FEED_SPAN) {
        uint64_t mask = line_feed_mask(file->buffer + at);
        if (at + (mask == 0 ? LINE_FEED_SPAN : static_cast<size_t>(std::countr_zero(mask))) -
                line_start >=
            limit) {
            break;  // a long line: platform_next_line gives its pieces
        }
        if (mask == 0 && at - line_start >= LINE_FEED_SPAN) {
            at = span_before_next_feed(file, at, line_start, limit);
            if (at == SIZE_MAX) {
                break;  // as above, or the bytes held end first
            }
            continue;
        }
        for (; mask != 0 && !stop; mask &= mask - 1) {
            const size_t end = at + static_cast<unsigned>(std::countr_zero(mask)) + 1;
            ++skipped;
            ended_start = line_start;
            line_start = end;
            stop = may_begin[data[end]];
        }
    }
    // Told once: stored line by line, they cost a third of the loop.
    if (skipped > 0) {
        *last_length = static_cast<int>(line_start - ended_start);
        *bytes += static_cast<int64_t>(line_start - file->next);
    }
    file->next = line_start;
    return skipped;
}

int64_t platform_skip_plain_lines(PlatformFile* file, const bool* may_begin, int limit,
                                  int64_t* bytes, int* last_length) {
    restore_held_byte(file);
    if (limit < LINE_FEED_SPAN) {
        return 0;
    }
    int64_t skipped = 0;
    for (;;) {
        if (file->buffered - file->next <= LINE_FEED_SPAN) {
            bool failed = false;
            if (!read_more_lines(file, &failed)) {
                return failed ? -1 : skipped;
            }
            if (file->buffered - file->next <= LINE_FEED_SPAN) {
                return skipped;  // the end of the file is near
            }
        }
        const int64_t passed =
            skip_plain_by_masks(file, may_begin, static_cast<size_t>(limit), bytes, last_length);
        skipped += passed;
        const size_t held = file->buffered - file->next;
        const auto first = static_cast<unsigned char>(file->buffer[file->next]);
        if ((held > 0 && may_begin[first]) || (passed == 0 && held > LINE_FEED_SPAN)) {
            return skipped;  // a line a header may begin, or a long one
        }
    }
}

int platform_lend_bytes(PlatformFile* file, int64_t from, size_t more, PlatformLent* lent) {
    restore_held_byte(file);
    if (from < 0) {
        errno = EINVAL;
        return -1;
    }
    if (from >= file->buffer_start &&
        from <= file->buffer_start + static_cast<int64_t>(file->buffered)) {
        file->next = static_cast<size_t>(from - file->buffer_start);
    } else {
        file->buffer_start = from;
        forget_line_feeds(&file->feeds);
        file->buffered = 0;
        file->next = 0;
    }
    bool at_end = false;
    if (more > 0) {
        bool failed = false;
        at_end = !read_more(file, more, &failed);
        if (failed) {
            return -1;
        }
    }
    *lent = PlatformLent{file->buffer + file->next,
                         file->buffer_start + static_cast<int64_t>(file->next),
                         file->buffered - file->next, at_end};
    return 0;
}

int platform_read_line(PlatformFile* file, char* buffer, int size) {
    if (size < 2) {
        errno = EINVAL;
        return -1;
    }
    char* line = nullptr;
    const int length = platform_next_line(file, &line, size - 1);
    if (length < 0) {
        return -1;
    }
    std::memcpy(buffer, line, static_cast<size_t>(length));
    buffer[length] = '\0';
    return length;
}

int64_t platform_read_at(PlatformFile* file, int64_t offset, char* buffer, size_t size) {
    if (platform_fail_if_injected(OP_READ)) {
        return -1;
    }
    bool failed = false;
    size_t got = read_stream_at(file->stream, offset, buffer, size, &failed);
    return failed ? -1 : static_cast<int64_t>(got);
}

int64_t platform_tell(PlatformFile* file) {
    if (platform_fail_if_injected(OP_TELL)) {
        return -1;
    }
    if (file->writing) {
        return static_cast<int64_t>(std::ftell(file->stream));
    }
    return file->buffer_start + static_cast<int64_t>(file->next);
}

int platform_seek(PlatformFile* file, int64_t offset) {
    restore_held_byte(file);
    if (platform_fail_if_injected(OP_SEEK)) {
        return -1;
    }
    // Within the buffer a seek costs nothing: consecutive messages of a log
    // often lie next to each other.
    if (!file->writing && offset >= file->buffer_start &&
        offset <= file->buffer_start + static_cast<int64_t>(file->buffered)) {
        file->next = static_cast<size_t>(offset - file->buffer_start);
        return 0;
    }
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (file->writing &&
        (offset > LONG_MAX || std::fseek(file->stream, static_cast<long>(offset), SEEK_SET) != 0)) {
        if (errno == 0) {
            errno = EINVAL;
        }
        return -1;
    }
    // Reads are made at buffer_start, so moving costs no system call.
    file->buffer_start = offset;
    forget_line_feeds(&file->feeds);
    file->buffered = 0;
    file->next = 0;
    file->read_size = FIRST_READ_AFTER_SEEK;
    return 0;
}

int platform_write(PlatformFile* file, const char* data, size_t length) {
    if (platform_fail_if_injected(OP_WRITE)) {
        file->write_failed = true;
        return -1;
    }
    if (std::fwrite(data, 1, length, file->stream) != length) {
        file->write_failed = true;
        return -1;
    }
    return 0;
}

int platform_write_pieces(PlatformFile* file, const PlatformPiece* pieces, int count) {
    if (platform_fail_if_injected(OP_WRITE)) {
        file->write_failed = true;
        return -1;
    }
    if (count > 0 && write_gathered(file->stream, pieces, count) != 0) {
        file->write_failed = true;
        return -1;
    }
    return 0;
}

int platform_flush(PlatformFile* file) {
    if (platform_fail_if_injected(OP_FLUSH)) {
        return -1;
    }
    return std::fflush(file->stream) == 0 ? 0 : -1;
}

int platform_close(PlatformFile* file) {
    platform_forget_views_of(file);
    int injected = platform_injected_failure(OP_CLOSE);
    int result = std::fclose(file->stream);
    int saved_errno = errno;
    bool write_failed = file->write_failed;
    free_file_block(file);
    if (injected != 0) {
        errno = injected;
        return -1;
    }
    if (result != 0) {
        errno = saved_errno;
        return -1;
    }
    if (write_failed) {
        errno = EIO;
        return -1;
    }
    return 0;
}

int platform_sync_named(const char* path) {
    PlatformFile* file = platform_open_read(path);
    if (file == nullptr) {
        return -1;
    }
    int synced = platform_sync(file);
    int error = errno;
    platform_close(file);
    errno = error;
    return synced;
}

// Used by the platform's own sync.
FILE* platform_stream_of(PlatformFile* file) {
    return file->stream;
}

// A size as the Windows status query gives it, in 32 bits: 2 GiB or more
// arrives negative, and past 4 GiB, where the low 32 bits alone could look
// small, the sign is kept.
int32_t fold_file_size(int64_t size) {
    uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(size));
    if (size > INT32_MAX) {
        low |= 0x80000000u;
    }
    return static_cast<int32_t>(low);
}

int get_disk_free_bytes(const char* root, const char* path, uint64_t* free_bytes) {
    if (platform_fail_if_injected(OP_FREE_SPACE)) {
        return 0;
    }
    if (platform_seam.free_bytes_query != nullptr) {
        return platform_seam.free_bytes_query(root, path, free_bytes);
    }
    return query_free_bytes(root, path, free_bytes);
}

// --- Test seam ---------------------------------------------------------------------

PlatformSeam platform_seam = {};

static bool hits(const PlatformFault& fault, long count) {
    return count == fault.at || (fault.from_then_on && count > fault.at);
}

static int armed_failure(PlatformOperation operation, bool inner) {
    int error = 0;
    for (int i = 0; i < platform_seam.armed; ++i) {
        const PlatformFault& fault = platform_seam.faults[i];
        const bool counted = fault.kind == operation || (fault.kind == OP_ANY && !inner);
        if (!counted || !hits(fault, platform_seam.counts[fault.kind])) {
            continue;
        }
        if (fault.hook != nullptr) {
            fault.hook();
        }
        if (fault.error != 0) {
            error = fault.error;
        }
    }
    return error;
}

// A run without tests pays two additions and one branch per operation.
int platform_injected_failure(PlatformOperation operation) {
    const bool inner = operation >= FIRST_INNER_OPERATION;
    platform_seam.counts[OP_ANY] += inner ? 0 : 1;
    ++platform_seam.counts[operation];
    return platform_seam.armed == 0 ? 0 : armed_failure(operation, inner);
}

int resolve_guard_name(const char* path, char* resolved) {
    if (path == nullptr || path[0] == '\0') {
        resolved[0] = '\0';
        return 0;
    }
    return resolve_new_name(path, resolved, NAME_BUFFER_SIZE);
}
