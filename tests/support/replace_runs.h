// A replace of forum.log in the current directory, step by step as a run
// makes it through platform_replace.h: hold, write the new log to the side
// file, seal, commit, release. The contract tests of both platforms and the
// POSIX-only ones share it.
#pragma once

#include <string>

#include "platform/platform_replace.h"

extern const std::string OLD_LOG;
extern const std::string NEW_LOG;
extern const std::string OLD_BACKUP;

struct ReplaceRun {
    int held = -1;
    int unchanged = -1;
    CommitOutcome outcome = COMMIT_KEPT;
    CommitReport report = {};
    HoldReport hold_report = {};
    std::string side;
};

// Holds a log for reading alone, as a check does; closes it at the end.
struct HeldLog {
    explicit HeldLog(const char* path) { result = platform_open_log(path, &file); }
    ~HeldLog() {
        if (file != nullptr) platform_close(file);
    }
    PlatformFile* file = nullptr;
    int result = -1;
};

// Holds forum.log, writes NEW_LOG to the side file and commits it, with
// `before_commit` run between the write and the commit and `after_commit`
// between the commit and the release.
ReplaceRun replace_once(bool backup, void (*before_commit)(), void (*after_commit)() = nullptr);

// Records `backup` as the ".BAK" of `log`, as another run would have; false
// where the file system keeps no such record.
bool record_backup_of(const std::string& backup, const std::string& log);
