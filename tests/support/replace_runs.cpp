#include "support/replace_runs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/xattr.h>
#endif

const std::string OLD_LOG = "old log\r\n";
const std::string NEW_LOG = "new log\r\n";
const std::string OLD_BACKUP = "old backup\r\n";

ReplaceRun replace_once(bool backup, void (*before_commit)(), void (*after_commit)()) {
    ReplaceRun run;
    LogHold* hold = nullptr;
    run.held = hold_log("forum.log", "FORUM.LOG", &hold, &run.hold_report);
    if (run.held != 0) {
        return run;
    }
    PlatformFileIdentity indexed;
    EXPECT_EQ(platform_identify(held_log_file(hold), &indexed), 0);
    run.side = held_side_name(hold);
    PlatformFile* out = platform_open_write(run.side.c_str());
    EXPECT_NE(out, nullptr);
    if (out != nullptr) {
        EXPECT_EQ(platform_write(out, NEW_LOG.data(), NEW_LOG.size()), 0);
        EXPECT_EQ(platform_close(out), 0);
    }
    EXPECT_EQ(seal_side_file(hold), 0) << std::strerror(errno);
    if (before_commit != nullptr) {
        before_commit();
    }
    run.unchanged = held_log_unchanged(hold, &indexed);
    run.outcome = commit_side_file(hold, backup ? "FORUM.BAK" : nullptr, &run.report);
    if (after_commit != nullptr) {
        after_commit();
    }
    char side_left[NAME_BUFFER_SIZE];
    EXPECT_EQ(release_hold(hold, side_left), 0);
    return run;
}

bool record_backup_of(const std::string& backup, const std::string& log) {
#ifdef _WIN32
    char root[MAX_PATH];
    DWORD flags = 0;
    if (!GetVolumePathNameA(backup.c_str(), root, sizeof root) ||
        !GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
        (flags & FILE_NAMED_STREAMS) == 0) {
        return false;
    }
    HANDLE stream = CreateFileA((backup + ":zembra.log").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    WriteFile(stream, log.data(), static_cast<DWORD>(log.size()), &written, nullptr);
    CloseHandle(stream);
    return true;
#else
    return setxattr(backup.c_str(), "user.zembra.log", log.data(), log.size(), 0) == 0;
#endif
}
