// Replacing a log in place, in the manner of git's lockfile: hold the log
// and its folder, write the new log to a side file only this run can open,
// then commit it (with or without a backup) or discard it. Every step after
// the hold works on the folder opened once, never on a path again, so a
// folder swapped for a symbolic link later leads nowhere. One implementation
// per platform: platform_replace_posix.cpp, platform_replace_win32.cpp.
//
// The side file is the lock between runs: created for the runner alone and
// locked while it lives, so only the runs of someone who may write the folder
// can hold it, and a reader of the log or the folder can stop nothing.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct LogHold;

// What hold_log found besides the log.
struct HoldReport {
    // Side names taken by files this run may not reuse (another user's, or
    // a kept leftover), "" when none: named in a hint when no name is free.
    char squatted[NAME_BUFFER_SIZE];
    // A run ended between putting its new log in place and making the old
    // one the ".BAK"; this hold finished that step.
    bool finished_backup;
    // The log could be held, but no side file made beside it (errno says
    // why): every side name taken, say.
    bool side_failed;
};

// Opens the log `path` (its name on disk) for reading, holds its folder, and
// takes the first free side name made from `name_base` (LOG.$$$, LOG.$01,
// ..., the log's own name never). 0 with *hold set; PLATFORM_BUSY when another run holds
// this log or a program has it open for writing or locked (EBUSY, nothing
// waits); -1 on failure (errno; EEXIST: every side name is taken).
int hold_log(const char* path, const char* name_base, LogHold** hold, HoldReport* report);
// The held log, for reading. It stays the hold's.
PlatformFile* held_log_file(LogHold* hold);
// The side file's name, which platform_open_write takes once, for the new log;
// null (errno) when the log's folder could not take one (read-only, say):
// the hold still reads the log, but cannot replace it.
const char* held_side_name(LogHold* hold);
// 0 while the log's name in the held folder reaches the held log, of the
// size and modification time of `indexed`, and no program has opened it for
// writing since the hold (as far as the system can tell); -1 (ESTALE or
// EBUSY) otherwise.
int held_log_unchanged(LogHold* hold, const PlatformFileIdentity* indexed);
// The identity of the entry `name` (its last component) of the held folder;
// a symbolic link is not followed. 0, or -1 with errno.
int identify_in_held_folder(LogHold* hold, const char* name, PlatformFileIdentity* identity);
// Gives the written side file the log's owner, group, mode and access lists
// and nothing else, and forces it to disk. -1 with errno when any of them
// cannot be kept (EPERM: the owner or group; ENOTSUP: an attribute).
int seal_side_file(LogHold* hold);

enum CommitOutcome {
    COMMIT_DONE,            // the new log is in place and on disk
    COMMIT_NOT_SYNCED,      // in place, but the folder's sync failed
    COMMIT_KEPT,            // nothing changed: log and ".BAK" as they were
    COMMIT_FOREIGN_BACKUP,  // nothing changed: the ".BAK" holds another log
    COMMIT_LOCKED_LOG,      // nothing changed: the log is immutable or append-only
};

struct CommitReport {
    CommitOutcome outcome;
    int error;                       // errno of the failed step
    bool side_left;                  // in place, but the side name could not be removed
    char foreign[NAME_BUFFER_SIZE];  // COMMIT_FOREIGN_BACKUP: the log it holds
};

// Puts the sealed side file in the log's place. With `backup` (a name in the
// log's folder; only its last component is used), the old log becomes it,
// and an older ".BAK" is replaced only after the new log is in place: when
// that fails, the logs are swapped back. A ".BAK" recorded as another log's
// is never replaced. Catchable signals wait from the replace to the folder's
// sync. Returns report->outcome.
CommitOutcome commit_side_file(LogHold* hold, const char* backup, CommitReport* report);
// Lets go of everything the hold has: the side file is removed unless it was
// committed. 0, or -1 when the side file could not be removed (errno; its
// name in `side_left`, NAME_BUFFER_SIZE bytes).
int release_hold(LogHold* hold, char* side_left);
