// Writing the new log beside the log and putting it in place in one step.
// The log is never moved away: at every instant its name holds the whole old
// log or the whole new one, and its ".BAK" the old backup or the whole old
// log. An interrupt, a crash or a power cut can leave at most a side file.
#include "driver/log_rewrite.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logindex/log_format.h"
#include "logindex/sorted_log_writer.h"
#include "platform/platform.h"
#include "platform/platform_replace.h"
#include "support/backup.h"
#include "support/messages.h"

namespace {

// What put_in_place came to.
enum Placement {
    PLACED,                 // the new log is in place and on disk
    PLACED_SIDE_FILE_LEFT,  // in place, the old log left under the side name
    PLACED_NOT_SYNCED,      // in place, but it may not have reached the disk
    NOT_PLACED,             // the log is as it was
};

}  // namespace

static void report_changed(const char* shown_name) {
    print_message<MSG_FILE_CHANGED>(shown_name);
}

// The block grows as needed (C heap: the program needs no C++ runtime
// library). One that cannot grow makes every backup count as made, since
// replacing one just made would lose a log.
static void remember_backup(LogHold* hold, const char* backup_name, BackupsMade* made) {
    PlatformFileIdentity identity;
    if (identify_in_held_folder(hold, backup_name, &identity) != 0) {
        return;
    }
    if (made->count == made->room) {
        const size_t room = made->room == 0 ? 16 : made->room * 2;
        void* grown = std::realloc(made->keys, room * sizeof(FileKey));
        if (grown == nullptr) {
            made->unknown = true;
            return;
        }
        made->keys = static_cast<FileKey*>(grown);
        made->room = room;
    }
    made->keys[made->count++] = {identity.device, identity.file_id};
}

// Within one command line, FORUM.LOG and FORUM.TXT share FORUM.BAK: the
// second must not replace the backup the first just made.
static bool is_backup_of_this_run(LogHold* hold, const char* backup_name, const BackupsMade& made) {
    PlatformFileIdentity identity;
    if (identify_in_held_folder(hold, backup_name, &identity) != 0) {
        return false;
    }
    for (size_t i = 0; i < made.count; ++i) {
        if (made.keys[i].device == identity.device && made.keys[i].file_id == identity.file_id) {
            return true;
        }
    }
    return made.unknown;
}

void forget_backups_made(BackupsMade* made) {
    std::free(made->keys);
    *made = {};
}

static void report_backup_failed() {
    print_message<MSG_BACKUP_FAILED>();
}

// No side file beside the log (a folder this run cannot write): the original
// tool's words for a log it could not move aside, and the system's reason.
static RewriteResult refuse_without_side_file(const char* log_name, const RunOptions& options) {
    const int error = errno;
    if (options.make_backup) {
        report_backup_failed();
        print_hint("%s: %s; the log is as it was", log_name, std::strerror(error));
        return REWRITE_BACKUP_FAILED;
    }
    report_file_error("", log_name);
    print_message<MSG_SKIP>();
    return REWRITE_WRITE_ERROR;
}

// The new log, whole, with the log's owner, mode and attributes, on disk.
static int write_side_file(LogHold* hold, const char* side, const char* log_name,
                           const IndexedLog& indexed, const RunOptions& options) {
    if (write_sorted_log_from(held_log_file(hold), log_name, side, indexed, options) != 0) {
        return -1;
    }
    if (seal_side_file(hold) != 0) {
        const int error = errno;
        report_write_error(side);
        if (error == EPERM) {
            print_hint(
                "this run cannot give the new log the owner and group of %s: it is left "
                "as it was; sort it as its owner",
                log_name);
        }
        return -1;
    }
    return 0;
}

// What a commit that changed nothing says, and what it comes to.
static RewriteResult report_kept(const CommitReport& report, const char* log_name,
                                 const char* shown_name, const char* backup_name) {
    errno = report.error;
    if (report.outcome == COMMIT_FOREIGN_BACKUP) {
        report_backup_failed();
        print_hint("%s holds the backup of %s, not of %s: sort with -B, or move it away",
                   backup_name, report.foreign, shown_name);
        return REWRITE_BACKUP_FAILED;
    }
    if (report.outcome == COMMIT_LOCKED_LOG) {
        report_file_error("", log_name);
        print_message<MSG_SKIP>();
        print_hint("%s is immutable or append-only (chattr): it is left as it was", log_name);
        return REWRITE_WRITE_ERROR;
    }
    if (report.error == ESTALE || report.error == EBUSY) {
        // The log's name reaches another file, or a writer opened it.
        report_changed(shown_name);
        return REWRITE_CHANGED;
    }
    if (backup_name != nullptr) {
        report_backup_failed();
        print_hint("%s: %s; the log and %s are as they were", backup_name,
                   std::strerror(report.error), backup_name);
        return REWRITE_BACKUP_FAILED;
    }
    report_file_error("", log_name);
    print_message<MSG_SKIP>();
    return REWRITE_WRITE_ERROR;
}

// Checks that nothing would be lost, then the replace and the folder's sync.
// *why says what a failure (or a log not on disk) came to.
static Placement put_in_place(LogHold* hold, const LogNames& names,
                              const PlatformFileIdentity* indexed, bool backup, BackupsMade* made,
                              RewriteResult* why) {
    const char* log_name = names.on_disk;
    const char* shown_name = names.shown;
    char backup_name[NAME_BUFFER_SIZE];
    if (backup) {
        if (backup_name_of(names.target, backup_name) != 0) {
            report_backup_failed();
            *why = REWRITE_BACKUP_FAILED;
            return NOT_PLACED;
        }
        if (is_backup_of_this_run(hold, backup_name, *made)) {
            print_message<MSG_ALREADY_PROCESSED>(shown_name);
            print_hint(
                "a log sorted earlier in this run shares the backup %s; sort this one "
                "in a run of its own",
                backup_name);
            *why = REWRITE_ALREADY_PROCESSED;
            return NOT_PLACED;
        }
    }
    if (held_log_unchanged(hold, indexed) != 0) {
        report_changed(shown_name);
        *why = REWRITE_CHANGED;
        return NOT_PLACED;
    }
    CommitReport report;
    const CommitOutcome outcome = commit_side_file(hold, backup ? backup_name : nullptr, &report);
    if (outcome != COMMIT_DONE && outcome != COMMIT_NOT_SYNCED) {
        *why = report_kept(report, log_name, shown_name, backup ? backup_name : nullptr);
        return NOT_PLACED;
    }
    if (backup) {
        remember_backup(hold, backup_name, made);
    }
    if (outcome == COMMIT_NOT_SYNCED) {
        errno = report.error;
        report_write_error(log_name);
        print_hint("%s is sorted, but it may not be on disk yet", shown_name);
        *why = REWRITE_WRITE_ERROR;
        return PLACED_NOT_SYNCED;
    }
    errno = report.error;
    return report.side_left ? PLACED_SIDE_FILE_LEFT : PLACED;
}

RewriteResult rewrite_log(LogHold* hold, const LogNames& names, const IndexedLog& indexed,
                          const RunOptions& options, BackupsMade* made) {
    const char* log_name = names.on_disk;
    print_message<MSG_SORTING>(static_cast<unsigned>(indexed.count));
    print_message<MSG_WRITING>();
    // A log already in order keeps its file and its backup: running twice
    // must not replace the original ".BAK" with the sorted log.
    const int differs = compare_sorted_log(held_log_file(hold), log_name, indexed, options);
    if (differs < 0) {
        print_message<MSG_SKIP>();
        return REWRITE_WRITE_ERROR;
    }
    if (differs == 0) {
        print_message<MSG_FINISH>();
        print_hint("already in order; left as it was");
        return REWRITE_IN_ORDER;
    }
    const char* side = held_side_name(hold);
    if (side == nullptr) {
        return refuse_without_side_file(log_name, options);
    }
    if (write_side_file(hold, side, log_name, indexed, options) != 0) {
        print_message<MSG_SKIP>();
        return REWRITE_WRITE_ERROR;
    }
    // A signal from here on ends the run before the replace or after its
    // report, never in between: the status always tells what happened.
    platform_hold_interrupts();
    RewriteResult why = REWRITE_WRITE_ERROR;
    const Placement placed =
        put_in_place(hold, names, &indexed.identity, options.make_backup != 0, made, &why);
    const int error = errno;
    // One that may not be on disk has said so instead.
    if (placed == PLACED || placed == PLACED_SIDE_FILE_LEFT) {
        print_message<MSG_FINISH>();
    }
    if (placed == PLACED_SIDE_FILE_LEFT) {
        errno = error;
        // Sorted, but not tidy: the old log still has the side name.
        report_file_error("", held_side_name(hold));
        print_hint("%s is sorted; its old content is left under that name: remove it", names.shown);
    }
    std::fflush(stderr);
    platform_release_interrupts();
    return placed == PLACED ? REWRITE_SORTED : why;
}
