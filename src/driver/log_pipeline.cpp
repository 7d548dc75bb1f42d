// One file argument through the whole job: checks, index, sort, rewrite.
// Every step prints what a user needs to follow it.
#include "driver/log_pipeline.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/log_check.h"
#include "driver/log_rewrite.h"
#include "logindex/log_format.h"
#include "logindex/log_indexer.h"
#include "platform/platform.h"
#include "platform/platform_replace.h"
#include "support/backup.h"
#include "support/free_space.h"
#include "support/messages.h"
#include "support/sjis_string.h"

namespace {

// A ".BAK" given as a log (by a wildcard, say) is left alone, and that is no
// problem.
constexpr int SKIPPED_BACKUP = 1;

// Two names for one file are compared this often before they count as two.
constexpr int NAME_CHECK_ATTEMPTS = 3;

// The longest name whose ".BAK" still fits the name buffers.
constexpr size_t MAX_NAME_LENGTH = NAME_BUFFER_SIZE - sizeof ".BAK";

}  // namespace

// Refuses what must not be processed; prints why, except for NO_ROOM. -1 for
// a problem, SKIPPED_BACKUP for a ".BAK", which is never to be sorted.
static int check_argument(const char* argument) {
    if (std::strlen(argument) > MAX_NAME_LENGTH) {
        std::fprintf(stderr, "Name Too Long!: %s\n", argument);
        return -1;
    }
    int32_t size = 0;
    if (platform_file_size(argument, &size) != 0) {
        report_file_error("", argument);
        return -1;
    }
    // has_room_for would refuse it silently, which looks like success.
    if (size < 0) {
        std::fprintf(stderr, "File Too Large!: %s\n", argument);
        return -1;
    }
    if (has_room_for(size, argument) != HAS_ROOM) {
        return -1;
    }
    if (is_backup_file(argument)) {
        std::fprintf(stderr, "Skip!: %s\n", argument);
        return SKIPPED_BACKUP;
    }
    return 0;
}

// Where names differing only in case are different files (POSIX), the
// upper-cased working name could reach another file than the one named.
static int check_working_name(const char* argument, const char* working_name) {
    int same = 0;
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
        return 0;
    }
    if (same == 0) {
        std::fprintf(stderr, "Ambiguous Name!: %s\n", argument);
    } else {
        report_file_error("", argument);
    }
    return -1;
}

// The file to rewrite: a symbolic link is rewritten through, its target
// getting the new log and the ".BAK" beside it. A link to a ".BAK" (its own,
// say) is refused like the ".BAK" itself.
static int find_log_file(const char* argument, const char* working_name, char* log_name) {
    const int followed = platform_link_target(working_name, log_name, NAME_BUFFER_SIZE);
    if (followed == -2) {
        report_file_error("", argument);
        print_hint(
            "%s is a symbolic link in a folder anyone may write, owned by another user: "
            "not followed, as the system would not follow it either",
            argument);
        return -1;
    }
    if (followed != 0 || std::strlen(log_name) > MAX_NAME_LENGTH) {
        report_file_error("", argument);
        return -1;
    }
    if (is_backup_file(log_name)) {
        std::fprintf(stderr, "Skip!: %s\n", argument);
        return SKIPPED_BACKUP;
    }
    if (std::strcmp(log_name, working_name) != 0 && platform_name_is_unique(log_name) != 1) {
        std::fprintf(stderr, "Ambiguous Name!: %s\n", argument);
        return -1;
    }
    return 0;
}

static const char* service_name(int service) {
    return service == SERVICE_NIFTY ? "NIFTY SERVE" : "PC-VAN";
}

// Why a log with no message indexed was skipped, for a person at a terminal.
static void hint_why_skipped(const char* log_name) {
    if (!hints_shown()) {
        return;
    }
    const int service = run_options.service;
    const int other = service == SERVICE_NIFTY ? SERVICE_PCVAN : SERVICE_NIFTY;
    if (indexed_log_shape.overflowed) {
        print_hint("the log holds more than %d messages: --max-messages=N raises the limit",
                   run_options.max_messages);
    } else if (reads_as_service(log_name, other)) {
        print_hint("no %s message header, but it reads as a %s log: try %s", service_name(service),
                   service_name(other), other == SERVICE_NIFTY ? "-N" : "-P");
    } else {
        print_hint("no line is a %s message header: an empty file, or not a log",
                   service_name(service));
    }
}

static int index_and_rewrite(LogHold* hold, const char* disk_name, const char* log_name,
                             const char* working_name, MessageIndex index) {
    std::fprintf(stderr, "Reading: %s\n", working_name);
    int count = build_index_from(held_log_file(hold), log_name, index);
    if (count <= 0) {
        std::fprintf(stderr, "Skip!\n");
        if (count == 0) {
            hint_why_skipped(log_name);
        }
        return -1;
    }
    if (run_options.check_only) {
        return check_log(working_name, indexed_entries(index), count);
    }
    return rewrite_log(hold, disk_name, log_name, working_name, indexed_entries(index), count);
}

// Why the log could not be held, as far as a person needs to know.
static void report_not_held(const char* argument, int opened, const HoldReport& report) {
    if (opened == -2) {
        std::fprintf(stderr, "Busy!: %s\n", argument);
        return;
    }
    const int error = errno;
    if (error == EEXIST && report.squatted[0] != '\0') {
        std::fprintf(stderr, "Side Names Taken!: %s\n", report.squatted);
    }
    errno = error;
    report_file_error("", argument);
    if (error == EEXIST && report.squatted[0] != '\0') {
        print_hint(
            "files of other users, or left by killed runs: move them away if nothing "
            "uses them");
    }
}

int process_log_file(const char* argument, MessageIndex index) {
    int checked = check_argument(argument);
    if (checked != 0) {
        return checked == SKIPPED_BACKUP ? 0 : -1;
    }
    char working_name[NAME_BUFFER_SIZE];
    char log_name[NAME_BUFFER_SIZE];
    copy_string(working_name, argument);
    sjis_strupr(working_name);
    if (check_working_name(argument, working_name) != 0) {
        return -1;
    }
    int found = find_log_file(argument, working_name, log_name);
    if (found != 0) {
        return found == SKIPPED_BACKUP ? 0 : -1;
    }
    // The log and its folder are held from indexing to the replace: another
    // zembra run, or a program writing to it, would change what this one
    // indexed. It is then reached by its name on disk, which needs no lookup
    // ignoring case, and every later step works in the folder held.
    char disk_name[NAME_BUFFER_SIZE];
    LogHold* hold = nullptr;
    HoldReport report = {};
    int opened = platform_disk_name(log_name, disk_name, sizeof disk_name);
    if (opened == 0) {
        opened = hold_log(disk_name, run_options.check_only ? nullptr : log_name, &hold, &report);
    }
    if (opened != 0) {
        report_not_held(argument, opened, report);
        return -1;
    }
    int result = index_and_rewrite(hold, disk_name, log_name, working_name, index);
    // Only read: a failed close changes nothing on disk; a side file that
    // cannot be removed is named.
    char side_left[NAME_BUFFER_SIZE];
    if (release_hold(hold, side_left) != 0) {
        report_file_error("", side_left);
        result = -1;
    }
    // The dump is what -D was asked for: one lost on a full or closed
    // standard output is a failure, not silence.
    if (run_options.debug_dump && (std::fflush(stdout) != 0 || std::ferror(stdout))) {
        if (errno == 0) {
            errno = EIO;
        }
        report_file_error("Write Error: ", "(standard output)");
        std::clearerr(stdout);
        result = -1;
    }
    return result;
}
