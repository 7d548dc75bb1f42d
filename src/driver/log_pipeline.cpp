// One file argument through the whole job: checks, index, sort, rewrite.
// Every step prints what a user needs to follow it.
#include "driver/log_pipeline.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/log_check.h"
#include "driver/log_names.h"
#include "driver/log_rewrite.h"
#include "logindex/index_sort.h"
#include "logindex/log_format.h"
#include "logindex/log_indexer.h"
#include "platform/platform.h"
#include "platform/platform_replace.h"
#include "support/backup.h"
#include "support/free_space.h"
#include "support/messages.h"
#include "support/sjis_string.h"
#include "support/text_encoding.h"

namespace {

// Two names for one file are compared this often before they count as two.
constexpr int NAME_CHECK_ATTEMPTS = 3;

// The longest name whose ".BAK" still fits the name buffers.
constexpr size_t MAX_NAME_LENGTH = NAME_BUFFER_SIZE - sizeof ".BAK";

// The outcome of a status query that failed (reported).
LogOutcome failed_status() {
    return errno == ENOENT || errno == ENOTDIR ? LOG_MISSING : LOG_UNREADABLE;
}

}  // namespace

// A free-space refusal that says what is missing: the original tool
// skipped such a log without a word.
static void report_no_room(const char* argument, int32_t size) {
    print_message<MSG_NO_ROOM>(argument, static_cast<long>(size),
                               static_cast<unsigned long long>(last_free_bytes));
    print_hint("the sorted log is written beside the log before it takes its place");
}

// Refuses what must not be processed, and says why. LOG_SORTED lets it pass;
// --check writes nothing and so needs no free space.
static LogOutcome check_argument(const char* argument, const RunOptions& options) {
    if (std::strlen(argument) > MAX_NAME_LENGTH) {
        print_message<MSG_NAME_TOO_LONG>(argument);
        return LOG_NAME_REFUSED;
    }
    int32_t size = 0;
    if (platform_file_size(argument, &size) != 0) {
        const LogOutcome outcome = failed_status();
        report_file_error("", argument);
        return outcome;
    }
    // has_room_for would refuse it silently, which looks like success.
    if (size < 0) {
        print_message<MSG_FILE_TOO_LARGE>(argument);
        return LOG_TOO_LARGE;
    }
    const int room = options.check_only ? HAS_ROOM : has_room_for(size, argument);
    if (room == DRIVE_ERROR) {
        // "Drive Not Ready!" names no file.
        print_message<MSG_SKIP_NAMED>(argument);
        return LOG_DRIVE_NOT_READY;
    }
    if (room != HAS_ROOM) {
        report_no_room(argument, size);
        return LOG_NO_ROOM;
    }
    if (is_backup_file(argument)) {
        print_message<MSG_SKIP_NAMED>(argument);
        return LOG_BACKUP_SKIPPED;
    }
    return LOG_SORTED;
}

// Where names differing only in case are different files (POSIX), the
// upper-cased working name could reach another file than the one named.
static LogOutcome check_working_name(const char* argument, const char* working_name) {
    // A name typed in capitals is the working name: one entry, no lookup.
    int same = std::strcmp(argument, working_name) == 0 ? 1 : 0;
    // Another run that replaces the log between the two lookups makes one
    // name reach the old file and the other the new: asked again, both agree.
    for (int attempt = 0; attempt < NAME_CHECK_ATTEMPTS && same == 0; ++attempt) {
        same = platform_same_file(argument, working_name);
    }
#ifdef ENOTUNIQ
    // The lookup ignoring case finds two entries for the name as typed.
    if (same < 0 && errno == ENOTUNIQ) {
        same = 0;
    }
#endif
    // A file system that ignores case itself may give each spelling of one
    // entry its own inode number (exfat-fuse): one entry is one file.
    if (same == 0 && platform_name_is_unique(working_name) == 1) {
        same = 1;
    }
    if (same == 1) {
        same = platform_name_is_unique(working_name);
    }
    if (same == 1) {
        return LOG_SORTED;
    }
    if (same == 0) {
        print_message<MSG_AMBIGUOUS_NAME>(argument);
        return LOG_NAME_REFUSED;
    }
    const LogOutcome outcome = failed_status();
    report_file_error("", argument);
    return outcome;
}

// The file to rewrite: a symbolic link is rewritten through, its target
// getting the new log and the ".BAK" beside it. A link to a ".BAK" (its own,
// say) is refused like the ".BAK" itself.
static LogOutcome find_log_file(const char* argument, const char* working_name, char* log_name) {
    const int followed = platform_link_target(working_name, log_name, NAME_BUFFER_SIZE);
    if (followed == LINK_NOT_FOLLOWED) {
        report_file_error("", argument);
        print_hint(
            "%s is a symbolic link in a folder anyone may write, owned by another user: "
            "not followed, as the system would not follow it either",
            argument);
        return LOG_NAME_REFUSED;
    }
    if (followed != 0 || std::strlen(log_name) > MAX_NAME_LENGTH) {
        const LogOutcome outcome = failed_status();
        report_file_error("", argument);
        return outcome;
    }
    if (is_backup_file(log_name)) {
        print_message<MSG_SKIP_NAMED>(argument);
        return LOG_BACKUP_SKIPPED;
    }
    if (std::strcmp(log_name, working_name) != 0 && platform_name_is_unique(log_name) != 1) {
        print_message<MSG_AMBIGUOUS_NAME>(argument);
        return LOG_NAME_REFUSED;
    }
    return LOG_SORTED;
}

static const char* service_name(int service) {
    return service == SERVICE_NIFTY ? "NIFTY SERVE" : "PC-VAN";
}

// The "Skip!" that ends a refusal after "Reading:". --list prints no
// "Reading:" line, so there it names the log.
static void print_skip(const char* argument, const RunOptions& options) {
    if (options.list_only) {
        print_message<MSG_SKIP_NAMED>(argument);
    } else {
        print_message<MSG_SKIP>();
    }
}

// Why a log with no message indexed was skipped, for a person at a terminal.
static void hint_why_skipped(const char* log_name, const IndexedLog& indexed,
                             const RunOptions& options) {
    const int service = options.service;
    const int other = service == SERVICE_NIFTY ? SERVICE_PCVAN : SERVICE_NIFTY;
    if (indexed.shape.overflowed) {
        print_hint("the log holds more than %d messages: --max-messages N raises the limit",
                   options.max_messages);
    } else if (reads_as_service(log_name, other)) {
        print_hint("no %s message header, but it reads as a %s log: try %s", service_name(service),
                   service_name(other), other == SERVICE_NIFTY ? "-N" : "-P");
    } else {
        print_hint("no line is a %s message header: an empty file, or not a log",
                   service_name(service));
    }
}

// A log in UTF-8 or EUC-JP fails the header patterns, which are Shift_JIS:
// the reason is its encoding, and so is the way out. The log's first bytes
// tell; only asked for a hint.
static void hint_encoding(PlatformFile* log) {
    char head[ENCODING_SAMPLE_SIZE];
    const int64_t got = platform_read_at(log, 0, head, sizeof head);
    if (got <= 0) {
        return;
    }
    const TextEncoding encoding = guess_text_encoding(head, static_cast<size_t>(got));
    if (encoding == ENCODING_SHIFT_JIS) {
        return;
    }
    const char* from = encoding == ENCODING_UTF8 ? "UTF-8" : "EUC-JP";
    print_hint(
        "the log reads as %s, not Shift_JIS: convert it (iconv -f %s -t CP932 "
        "LOG >LOG.SJIS) and sort the copy",
        from, from);
}

// An indexing that found nothing to sort: "Skip!" and the reasons.
static LogOutcome refuse_unindexed(int count, PlatformFile* log, const LogNames& names,
                                   const IndexedLog& indexed, const RunOptions& options) {
    print_skip(names.typed, options);
    const bool overflowed = indexed.shape.overflowed != 0;
    if (hints_shown()) {
        if (count == 0) {
            hint_why_skipped(names.target, indexed, options);
        }
        if (!overflowed) {
            hint_encoding(log);
        }
    }
    if (count < 0) {
        return indexed.shape.header_error ? LOG_HEADER_ERROR : LOG_READ_OR_WRITE_ERROR;
    }
    return overflowed ? LOG_TOO_MANY_MESSAGES : LOG_NOT_A_LOG;
}

static LogOutcome rewrite_outcome(int rewritten) {
    switch (rewritten) {
        case REWRITE_SORTED:
            return LOG_SORTED;
        case REWRITE_IN_ORDER:
            return LOG_IN_ORDER;
        case REWRITE_BACKUP_FAILED:
            return LOG_BACKUP_FAILED;
        case REWRITE_CHANGED:
            return LOG_CHANGED;
        case REWRITE_ALREADY_PROCESSED:
            return LOG_ALREADY_PROCESSED;
        default:
            return LOG_READ_OR_WRITE_ERROR;
    }
}

static LogOutcome index_and_rewrite(LogHold* hold, const LogNames& names, const RunOptions& options,
                                    IndexedLog* indexed, BackupsMade* made) {
    PlatformFile* log = held_log_file(hold);
    if (!options.list_only) {
        print_message<MSG_READING>(names.shown);
    }
    const int count = index_log(log, names.target, options, indexed);
    if (count <= 0) {
        return refuse_unindexed(count, log, names, *indexed, options);
    }
    sort_index(indexed->entries, count);
    if (options.check_only) {
        const int verdict = check_log(names.typed, log, names.target, *indexed, options);
        if (verdict < 0) {
            print_skip(names.typed, options);  // after a reported read or memory error
            return LOG_READ_OR_WRITE_ERROR;
        }
        return verdict == 0 ? LOG_IN_ORDER : LOG_WOULD_CHANGE;
    }
    return rewrite_outcome(rewrite_log(hold, names, *indexed, options, made));
}

// A log that cannot be opened is refused as the original tool refused it:
// "Reading:", "File Open Error:", "Skip!", and here the system's reason.
static LogOutcome refuse_unopened(const LogNames& names, const RunOptions& options) {
    const int error = errno;
    if (!options.list_only) {
        print_message<MSG_READING>(names.shown);
    }
    print_message<MSG_FILE_OPEN_ERROR>(names.shown);
    print_skip(names.typed, options);
    print_hint("%s: %s", names.typed, std::strerror(error));
    errno = error;
    return failed_status();
}

// No side file could be made beside the log: the original tool's words for a
// log it could not move aside, with the system's reason.
static LogOutcome refuse_side_file(const LogNames& names, const RunOptions& options,
                                   const HoldReport& report) {
    const int error = errno;
    if (!options.list_only) {
        print_message<MSG_READING>(names.shown);
    }
    if (error == EEXIST && report.squatted[0] != '\0') {
        print_message<MSG_SIDE_NAMES_TAKEN>(report.squatted);
    }
    if (options.make_backup) {
        print_message<MSG_BACKUP_FAILED>();
    } else {
        errno = error;
        report_file_error("", names.typed);
        print_skip(names.typed, options);
    }
    if (error == EEXIST && report.squatted[0] != '\0') {
        print_hint(
            "every side name is taken, by files of other users or left by killed runs: "
            "move them away if nothing uses them");
    } else {
        print_hint("%s: %s; the log is as it was", names.typed, std::strerror(error));
    }
    return options.make_backup ? LOG_BACKUP_FAILED : LOG_READ_OR_WRITE_ERROR;
}

// Why the log could not be held, as far as a person needs to know.
static LogOutcome refuse_unheld(const LogNames& names, const RunOptions& options, int opened,
                                const HoldReport& report) {
    if (opened == PLATFORM_BUSY) {
        print_message<MSG_BUSY>(names.typed);
        print_hint(
            "another program has the log open for writing, or another zembra run "
            "works on it: try again when it is done");
        return LOG_BUSY;
    }
    if (report.side_failed) {
        return refuse_side_file(names, options, report);
    }
    return refuse_unopened(names, options);
}

// The names of one file argument, each found once, or why it is refused.
static LogOutcome resolve_log_names(const char* argument, const RunOptions& options,
                                    LogNames* names) {
    names->typed = argument;
    const LogOutcome checked = check_argument(argument, options);
    if (checked != LOG_SORTED) {
        return checked;
    }
    copy_string(names->shown, argument);
    platform_upper_case_name(names->shown);
    const LogOutcome named = check_working_name(argument, names->shown);
    if (named != LOG_SORTED) {
        return named;
    }
    return find_log_file(argument, names->shown, names->target);
}

LogOutcome process_log_file(const char* argument, const RunOptions& options, IndexedLog* indexed,
                            BackupsMade* made) {
    LogNames names;
    const LogOutcome resolved = resolve_log_names(argument, options, &names);
    if (resolved != LOG_SORTED) {
        return resolved;
    }
    // The log and its folder are held from indexing to the replace: another
    // zembra run, or a program writing to it, would change what this one
    // indexed. It is then reached by its name on disk, which needs no lookup
    // ignoring case, and every later step works in the folder held.
    LogHold* hold = nullptr;
    HoldReport report = {};
    int opened = platform_disk_name(names.target, names.on_disk, sizeof names.on_disk);
    if (opened == 0) {
        opened =
            hold_log(names.on_disk, options.check_only ? nullptr : names.target, &hold, &report);
    }
    if (opened != 0) {
        return refuse_unheld(names, options, opened, report);
    }
    LogOutcome outcome = index_and_rewrite(hold, names, options, indexed, made);
    // Only read: a failed close changes nothing on disk; a side file that
    // cannot be removed is named.
    char side_left[NAME_BUFFER_SIZE];
    if (release_hold(hold, side_left) != 0) {
        report_file_error("", side_left);
        outcome = LOG_READ_OR_WRITE_ERROR;
    }
    // The dump is what -D was asked for: one lost on a full or closed
    // standard output is a failure, not silence.
    if (options.debug_dump && (std::fflush(stdout) != 0 || std::ferror(stdout))) {
        if (errno == 0) {
            errno = EIO;
        }
        report_write_error("(standard output)");
        std::clearerr(stdout);
        outcome = LOG_READ_OR_WRITE_ERROR;
    }
    return outcome;
}
