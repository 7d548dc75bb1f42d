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
// Reads up to `size` bytes: the count, 0 at the end of the file, -1 on a read
// error. Fewer than `size` only at the end of the file.
int64_t platform_read_block(PlatformFile* file, char* buffer, size_t size);
// Position of the next byte to be read, or -1.
int64_t platform_tell(PlatformFile* file);
// Moves to `offset` bytes from the start. 0 or -1.
int platform_seek(PlatformFile* file, int64_t offset);
int platform_write(PlatformFile* file, const char* data, size_t length);
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
// The file a symbolic link at `path` finally leads to, a relative target
// taken relative to the link's directory; `path` itself when it is no link.
// -1 (ELOOP) for a loop. (Windows: `path` itself.)
int platform_link_target(const char* path, char* target, size_t size);
// The name under which the existing file `path` is on disk, each component
// as the directory spells it: later operations with it find the entry at
// once. (POSIX: found ignoring letter case; Windows: `path` itself.)
int platform_disk_name(const char* path, char* name, size_t size);
// Reads up to `size` bytes at `offset`, leaving the stream's own reading
// where it was: the count (fewer only at the end of the file), or -1.
int64_t platform_read_at(PlatformFile* file, int64_t offset, char* buffer, size_t size);

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
// Opens the log at `path` for reading and holds it until platform_close:
// another zembra run on it is refused (POSIX flock; Windows a byte-range
// lock), and so is a program that has it open for writing or holds a record
// lock on it (Linux: a read lease and an OFD read lock; Windows: the log is
// never shared for writing). 0 with *log set, -2 when busy (nothing waits), -1
// on failure. A file system without locks or leases runs unguarded.
int platform_open_log(const char* path, PlatformFile** log);
// 0 while no program has opened the held log for writing since it was
// opened, as far as the system can tell (it can where it granted a lease);
// -1 (EBUSY) when one has.
int platform_log_undisturbed(PlatformFile* log);
// Gives the new file `path` the owner, group, mode and extended attributes
// (ACLs among them) of the held log, as far as the runner may. (Windows: the
// replace keeps the log's attributes and ACLs; the hidden, system and archive
// marks are given here too, the read-only one by the replace.)
int platform_copy_attributes(PlatformFile* log, const char* path);
// Puts the new log `replacement` in the place of the held log `target` in one
// step. With a `backup`, the log's file first becomes `backup`, an older
// backup being replaced only then, so that at every instant `target` names
// the old or the new log and `backup` its old file or the old log. POSIX does
// it through `spare`, a free name beside the log: a hard link of the log, or
// where the file system has none, a copy. Runs whose logs share a backup name
// take this step one after the other. 0 when done; -1 when the backup could
// not be made (nothing changed; EEXIST: `spare` is taken; ESTALE: the log's
// name no longer reaches the held file); -2 when the backup was made but the
// log could not be replaced. (Windows: ReplaceFileA; without a backup
// MoveFileExA, which needs the held log let go of first.)
int platform_replace_log(PlatformFile* log, const char* replacement, const char* target,
                         const char* backup, const char* spare);

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
    OP_LINK,           // POSIX link, which makes the backup a second name of the log
    OP_FREE_SPACE_EX,  // Windows lookup of GetDiskFreeSpaceExA
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
