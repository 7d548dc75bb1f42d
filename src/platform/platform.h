// Host file-system services. Every file access of zembra goes through here, so
// that POSIX gets the Windows semantics the log job relies on (a rename that
// never replaces its target, case-insensitive and case-preserving names) and
// tests can make any single operation fail.
//
// Failures return -1 (or null) with errno set; callers print strerror(errno).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Windows' C runtime lacks it; platform_replace_log reports with it that the
// log's name no longer reaches the held log. Past every code the runtime has.
#ifndef ESTALE
#define ESTALE 1116
#endif

#ifdef _WIN32
// MAX_PATH (260) plus room for an appended ".BAK".
constexpr int NAME_BUFFER_SIZE = 264;
constexpr const char PATH_SEPARATORS[] = "\\/";
constexpr const char PLATFORM_WORD[] = "WIN32";
constexpr const char SWITCH_MARKS[] = "-/";
#else
#include <climits>
constexpr int NAME_BUFFER_SIZE = PATH_MAX + 8;
constexpr const char PATH_SEPARATORS[] = "/";
constexpr const char PLATFORM_WORD[] = "POSIX";
// "/" begins an absolute path here, so only "-" marks a switch.
constexpr const char SWITCH_MARKS[] = "-";
#endif
// Drive-letter paths and the "Drive Not Ready!" check work the same on both.

struct PlatformFile;

// Binary streams. open_write creates the file or empties an existing one,
// unless platform_create_new has just created `path`: then it takes that file.
PlatformFile* platform_open_read(const char* path);
PlatformFile* platform_open_write(const char* path);
// Creates `path` as a new, empty file that only the runner may open, failing
// with EEXIST when any entry (a symbolic link too) has that name, and keeps it
// open for the next platform_open_write of the same `path`; the new log is
// written so, and nothing can be slipped in between. (POSIX:
// O_CREAT|O_EXCL|O_NOFOLLOW; Windows: CREATE_NEW.)
int platform_create_new(const char* path);
// Closes a file from platform_create_new that was never taken (the write
// failed earlier); the caller removes it.
void platform_drop_new();
// Reads like fgets with a buffer of `size` bytes: up to and including the next
// '\n', at most size - 1 bytes, then a NUL. Returns the bytes read (NULs inside
// the line count), 0 at the end of the file, -1 on a read error.
int platform_read_line(PlatformFile* file, char* buffer, int size);
// The same line, at most `limit` bytes, without the copy: *line points into
// the file's own buffer, NUL-terminated, until the next call on `file`.
int platform_next_line(PlatformFile* file, char** line, int limit);
// Position of the next byte to be read, or -1.
int64_t platform_tell(PlatformFile* file);
// Moves to `offset` bytes from the start. 0 or -1.
int platform_seek(PlatformFile* file, int64_t offset);
int platform_write(PlatformFile* file, const char* data, size_t length);
// Bytes that stay where they lie until written: written after what was
// written before, in one system call where the system gathers them (POSIX
// writev), never copied into the stream's buffer first. 0 or -1, as
// platform_write; counted as one write by the test seam.
struct PlatformPiece {
    const char* bytes;
    size_t length;
};
int platform_write_pieces(PlatformFile* file, const PlatformPiece* pieces, int count);
int platform_flush(PlatformFile* file);
// Flushes and forces the file's content to stable storage.
int platform_sync(PlatformFile* file);
// Always releases the stream; -1 when a pending write failed.
int platform_close(PlatformFile* file);
// Forces the content of the file called `path` to stable storage.
int platform_sync_named(const char* path);

// Status query of an existing regular file: its size as a signed 32-bit value
// (a file of 2 GiB or more arrives negative). Directories and devices fail.
int platform_file_size(const char* path, int32_t* size);
int platform_remove(const char* path);
// 1 when both names reach the same file, 0 when not, -1 when either fails.
int platform_same_file(const char* a, const char* b);
// Makes the renames and creations in the directory holding `path` durable.
// (POSIX: fsync of the directory; Windows: nothing, NTFS logs them.)
int platform_sync_directory(const char* path);
// 1 when no other entry of the directory holding `path` has its final name
// ignoring letter case, 0 when one has, -1 on failure. (Windows: always 1.)
int platform_name_is_unique(const char* path);
// Results beyond 0 (done) and -1 (failed, errno set) that are no failure of
// the call: each says why nothing was done.
// Another run holds the log, or a program has it open for writing or locked
// (EBUSY): nothing waits for it.
constexpr int PLATFORM_BUSY = -2;
// A symbolic link the kernel would not follow either (EACCES).
constexpr int LINK_NOT_FOLLOWED = -3;
// The file a symbolic link at `path` finally leads to, a relative target
// taken relative to the link's directory; `path` itself when it is no link.
// -1 (ELOOP) for a loop; LINK_NOT_FOLLOWED (EACCES) for a link that the kernel's
// protected_symlinks rule would not follow either: in a sticky folder anyone
// may write, owned by neither the runner nor the folder's owner. (Windows:
// `path` itself.)
int platform_link_target(const char* path, char* target, size_t size);
// The name under which the existing file `path` is on disk, each component
// as the directory spells it: later operations with it find the entry at
// once. (POSIX: found ignoring letter case; Windows: `path` itself.)
int platform_disk_name(const char* path, char* name, size_t size);
// Reads up to `size` bytes at `offset`, leaving the stream's own reading
// where it was: the count (fewer only at the end of the file), or -1.
int64_t platform_read_at(PlatformFile* file, int64_t offset, char* buffer, size_t size);

// --- Reading a log fast ------------------------------------------------------
// Passes over `lines` lines as platform_next_line with `limit` would give
// them, without lending them: the count passed over (fewer only at the end of
// the file), *last_length set to the last one's bytes; -1 on a read error.
// The line feeds of 64 bytes are counted at once, so a body's lines cost a
// few instructions each.
int64_t platform_skip_lines(PlatformFile* file, int64_t lines, int limit, int* last_length);
// Passes over the lines (as platform_next_line with `limit` gives them) whose
// first byte is not marked in `may_begin`, and stops before the first that
// is; it may stop sooner (before a long line, near the end of the file),
// leaving the rest to platform_next_line. The count passed over, their bytes
// added to *bytes and the last one's length in *last_length; -1 on a read
// error. The lines no header can begin cost a few instructions each.
int64_t platform_skip_plain_lines(PlatformFile* file, const bool* may_begin, int limit,
                                  int64_t* bytes, int* last_length);

// The bytes of `file` from file position `from` on, lent where they lie in
// its read buffer until the next call on `file`; when `more` is not 0, after
// one read of up to `more` bytes past those held, as far as the buffer has
// room. Bytes before `from` are let go; a `from` past the bytes held starts
// the buffer there. 0 with *lent set, -1 on a read error. A reader that
// keeps its own place in the lent bytes reads through the same buffer as
// the line reader, at the sizes it chooses.
struct PlatformLent {
    const char* bytes;
    int64_t start;  // file position of bytes[0]
    size_t length;
    bool at_end;  // the read found nothing more
};
int platform_lend_bytes(PlatformFile* file, int64_t from, size_t more, PlatformLent* lent);

// A view maps part of a file for reading where nothing can shorten the file
// under it, since a page past a shortened end would fault: on Linux only while
// the run holds a read lease on it (a writer's open waits for the lease to be
// given up), on Windows always (a mapped file cannot be shortened there).
constexpr size_t PLATFORM_VIEW_ALIGNMENT = 64 * 1024;  // Windows' allocation granularity
struct PlatformView {
    const char* bytes;
    size_t length;  // as far as the file reached when mapped
};
// Maps up to `length` bytes of `file` from `offset`, a multiple of
// PLATFORM_VIEW_ALIGNMENT. 0 with *view set (length 0 at or past the end of
// the file); 1 when the file cannot be mapped safely here and is to be read
// instead; -1 on failure (errno; counted as a read by the test seam). With
// `prefault` every page is mapped at once (POSIX: MAP_POPULATE), for a view
// that will be read nearly whole: one system call instead of a fault per page.
int platform_map_view(PlatformFile* file, int64_t offset, size_t length, PlatformView* view,
                      bool prefault = false);
void platform_unmap_view(PlatformView* view);

// --- Working memory --------------------------------------------------------------
// A large buffer wanted for a whole run (the writer's read-ahead room) comes
// from one block that the system can back with one large page (Linux: a
// transparent huge page), reserved when first wanted. On the virtual
// machines measured a 4 KiB page first touched cost 2.5 to 17 us (machines
// differed), the large page 0.1 to 0.3 ms at once, and now and then some
// 5 ms where the system had to find it memory. Where no large page can be
// had (Linux with transparent huge pages set to never, Windows without the
// privilege for them, other systems, a build with AddressSanitizer, which
// must see every overrun of these buffers) nothing is reserved.
constexpr size_t PLATFORM_WORKING_MEMORY = 2 * 1024 * 1024;
void platform_reserve_working_memory();
// `size` bytes of the reserved block, aligned for any type; null when none is
// reserved or too little is left, and then the caller takes the heap. A
// block handed out is the caller's for the rest of the run, never freed.
void* platform_working_memory(size_t size);
bool platform_is_working_memory(const void* block);

// What tells whether a file is still the one read: the same file (device and
// inode; volume and file index) with the same size and modification time.
struct PlatformFileIdentity {
    uint64_t device;
    uint64_t file_id;
    int64_t size;
    int64_t modified;  // nanoseconds (POSIX) or 100-nanosecond units (Windows)
    uint32_t mode;     // permission bits (POSIX) or file attributes (Windows)
    uint32_t owner;
    uint32_t group;
};
int platform_identify(PlatformFile* file, PlatformFileIdentity* identity);
// Of the entry `path` itself: a symbolic link is not followed.
int platform_identify_named(const char* path, PlatformFileIdentity* identity);

// --- The log being rewritten -----------------------------------------------------
// Opens the log at `path` for reading and holds it until platform_close
// against a program that has it open for writing or holds a record lock on
// it (Linux: a read lease and an OFD read lock, which no reader can take
// away; Windows: the log is never shared for writing, and another zembra
// run is refused by a byte-range lock). 0 with *log set, PLATFORM_BUSY
// (nothing waits), -1 on failure. A file system without locks or leases runs
// unguarded. A log to be replaced is held with hold_log (platform_replace.h).
int platform_open_log(const char* path, PlatformFile** log);
// 0 while no program has opened the held log for writing since it was
// opened, as far as the system can tell (it can where it granted a lease);
// -1 (EBUSY) when one has.
int platform_log_undisturbed(PlatformFile* log);
// At the start of a run: a closed standard error (SIGPIPE) or a file-size
// limit (SIGXFSZ) fails a write instead of ending the process.
void platform_start_run();
// Interrupts and other ending signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGALRM, SIGXCPU, ...; Windows console control events) while a new log is
// being written remove it and end the process with the signal. The log itself
// is never touched: it stays whole under its name. Null or "" for none.
int platform_guard_side_file(const char* side);
// Held across a creation or a rename and the guard's record of it, so that
// the handler never sees one without the other. Holds nest.
void platform_hold_interrupts();
void platform_release_interrupts();

// Free bytes the calling user may write on the volume of `root` ("C:\" style),
// or, for a null root, on the current drive: on POSIX the file system that
// holds the directory of `path`. Nonzero on success; writes *free_bytes only then.
int get_disk_free_bytes(const char* root, const char* path, uint64_t* free_bytes);

// --- Console -----------------------------------------------------------------
// What standard error is. Messages for a person (hints, the Japanese texts in
// a readable form) are written only to a terminal; a file or a pipe gets the
// bytes a script expects.
enum TerminalKind {
    TERMINAL_NONE,     // a file, a pipe, a device: bytes as they are
    TERMINAL_UTF8,     // POSIX terminal whose locale (LC_CTYPE) is UTF-8
    TERMINAL_OTHER,    // any other POSIX terminal
    TERMINAL_CONSOLE,  // a Windows console: written with platform_write_console
};
// Looked at once per process: the locale's code set is read with
// setlocale(LC_CTYPE, "") and the C locale restored at once.
TerminalKind platform_error_terminal();
// Writes Shift_JIS `text` (code page 932) to the console of standard error
// as UTF-16 (WriteConsoleW). -1 where there is no such console or it fails.
int platform_write_console(const char* text, size_t length);

// `text` in the encoding `from` ("CP932", "EUC-JP") as UTF-8 into `out`
// (`size` bytes, NUL-terminated, cut at a whole character); a byte that
// starts no character becomes "?". -1 where the system has no converter
// (Windows writes Shift_JIS to its console itself).
int platform_text_to_utf8(const char* text, const char* from, char* out, size_t size);

// Windows: the files that `pattern` ("*" and "?" in its last component)
// matches in its folder, as the folder part of the pattern followed by each
// name, NUL-terminated one after another in one heap block at *names (free
// it). Folders and hidden or system files are left out, as cmd does. Returns
// the count, 0 when nothing matches; on POSIX always 0, as the shell expands
// patterns there. -1 with errno on failure.
int platform_expand_pattern(const char* pattern, char** names);

// Where the shell expands patterns (POSIX): 1 when `pattern` matches some
// file, 0 when none (or on Windows, where platform_expand_pattern answers).
int platform_pattern_matches(const char* pattern);

// --- Names ---------------------------------------------------------------------
// Upper-cases the ASCII letters of a file name in place, leaving every byte of
// a multi-byte character alone: on Windows by the Shift_JIS rule (the
// system's code page for names), on POSIX as text of the locale's encoding:
// the Shift_JIS rule in a Shift_JIS locale, else every ASCII letter (in
// UTF-8 and EUC-JP no byte of a multi-byte character is below 0x80). Names
// are compared ignoring case by the same rule.
void platform_upper_case_name(char* name);

// --- Test seam ------------------------------------------------------------------
// Every operation above is counted by kind, and a test can make the n-th of a
// kind, or of any kind, fail with an errno, once or from then on, or call a
// hook first. The inner kinds are the system calls a rename or a free-space
// query tries first and some systems lack; they are counted only by their own
// kind, so a sweep over any kind still fails each operation above once.
enum PlatformOperation {
    OP_ANY,
    OP_OPEN,
    OP_READ,
    OP_WRITE,
    OP_FLUSH,
    OP_SYNC,
    OP_CLOSE,
    OP_SEEK,
    OP_TELL,
    OP_STATUS,
    OP_REMOVE,
    OP_RENAME,
    OP_FREE_SPACE,
    OP_LINK,           // POSIX link, a second name of the old log where names cannot be swapped
    OP_FREE_SPACE_EX,  // Windows lookup of GetDiskFreeSpaceExA
    OP_EXCHANGE,       // Linux renameat2 swap, which some file systems lack (EINVAL)
    OP_KIND_COUNT,
};
constexpr PlatformOperation FIRST_INNER_OPERATION = OP_LINK;

struct PlatformFault {
    PlatformOperation kind;
    long at;            // the count of `kind` that fails
    int error;          // errno to fail with; 0 lets the operation go ahead
    bool from_then_on;  // every later operation of the kind fails too
    void (*hook)();     // called first when set: it may change files or raise a signal
};

// A simulated volume in place of the system's free-space query.
using FreeBytesQuery = int (*)(const char* root, const char* path, uint64_t* free_bytes);

constexpr int PLATFORM_FAULT_SLOTS = 4;

// All of the seam's state, in one place so that a test can save and restore
// it whole. Zero is the state of a run without tests.
struct PlatformSeam {
    long counts[OP_KIND_COUNT];
    PlatformFault faults[PLATFORM_FAULT_SLOTS];
    int armed;                        // faults in use
    FreeBytesQuery free_bytes_query;  // null: the system's
};
extern PlatformSeam platform_seam;

// Called by every operation; returns the errno to fail with, or 0.
int platform_injected_failure(PlatformOperation operation);
