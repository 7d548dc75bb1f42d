// Backup names and backup-file recognition.
#include "support/backup.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_files.h"

namespace {

TEST(IsBackupFile, ExtensionIgnoringCase) {
    const struct {
        const char* name;
        int expected;
    } cases[] = {
        {"X.bak", 1},     {"x.BAK", 1},       {"X.BaK", 1},  {".BAK", 1}, {"DIR/LOG.bak", 1},
        {"A.BAK.TXT", 0}, {"X.BAKE", 0},      {"X.BA", 0},   {"XBAK", 0}, {"X.TXT", 0},
        {"", 0},          {"DIR.BAK/LOG", 0}, {"../LOG", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_backup_file(c.name), c.expected) << printable(c.name);
    }
}

// Backups stay in the log's directory: a "." in a directory name is never
// taken for the extension.
TEST(BackupNameOf, StaysInTheLogsDirectory) {
    const struct {
        const char* log;
        const char* backup;
    } cases[] = {
        {"LOG.TXT", "LOG.BAK"},         {"README", "README.BAK"},
        {"A.B.C", "A.B.BAK"},           {"LOG.", "LOG.BAK"},
        {"DIR.X/LOG", "DIR.X/LOG.BAK"}, {"DIR.X/LOG.TXT", "DIR.X/LOG.BAK"},
        {"../LOG", "../LOG.BAK"},
    };
    for (const auto& c : cases) {
        char backup[NAME_BUFFER_SIZE];
        ASSERT_EQ(backup_name_of(c.log, backup), 0) << c.log;
        EXPECT_STREQ(backup, c.backup);
    }
}

TEST(BackupNameOf, Refusals) {
    char backup[NAME_BUFFER_SIZE];
    // Its backup would be itself.
    EXPECT_NE(backup_name_of("LOG.BAK", backup), 0);
    // A backup name that would not fit the buffer.
    std::string longest(NAME_BUFFER_SIZE - 5, 'A');
    std::string too_long(NAME_BUFFER_SIZE - 4, 'A');
    std::vector<char> exact(NAME_BUFFER_SIZE, '#');
    errno = 0;
    EXPECT_NE(backup_name_of(too_long.c_str(), exact.data()), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(backup_name_of(longest.c_str(), exact.data()), 0);
    EXPECT_EQ(std::string(exact.data()), longest + ".BAK");
}

}  // namespace
