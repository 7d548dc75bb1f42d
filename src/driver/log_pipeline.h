#pragma once

#include "driver/log_rewrite.h"
#include "logindex/log_indexer.h"

// What became of one file argument: the driver counts them for the run's
// summary and its exit status.
enum LogOutcome {
    LOG_SORTED,
    LOG_IN_ORDER,        // left as it was: nothing to sort
    LOG_WOULD_CHANGE,    // --check
    LOG_BACKUP_SKIPPED,  // a ".BAK" named as a log: never sorted, and no problem
    // The problems: the log was left unsorted (or unchecked).
    LOG_MISSING,  // no such file, or not a regular file
    LOG_NAME_REFUSED,
    LOG_TOO_LARGE,
    LOG_NO_ROOM,
    LOG_DRIVE_NOT_READY,
    LOG_BUSY,
    LOG_UNREADABLE,
    LOG_NOT_A_LOG,  // no message header of the dialect
    LOG_TOO_MANY_MESSAGES,
    LOG_HEADER_ERROR,  // a header or room error
    LOG_BACKUP_FAILED,
    LOG_CHANGED,
    LOG_ALREADY_PROCESSED,
    LOG_READ_OR_WRITE_ERROR,  // reported with the system's reason
    LOG_NO_MATCH,             // a wildcard that matched no file
    LOG_OUTCOME_COUNT,
};
constexpr LogOutcome FIRST_PROBLEM = LOG_MISSING;

inline bool is_problem(LogOutcome outcome) {
    return outcome >= FIRST_PROBLEM;
}

// Takes one file argument through the whole job (with --check, through the
// indexing and the check), printing what a user needs to follow it. Every
// outcome but LOG_SORTED, LOG_IN_ORDER and LOG_WOULD_CHANGE has printed a
// line that names the file.
// `indexed` is the run's one index, filled anew for each log; `made` the
// backups the command line made so far.
LogOutcome process_log_file(const char* argument, const RunOptions& options, IndexedLog* indexed,
                            BackupsMade* made);
