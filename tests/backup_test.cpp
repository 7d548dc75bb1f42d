// Backup names, backup-file recognition, and putting the saved copy back
// when a rewrite fails.
#include "support/backup.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/log_rewrite.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/log_texts.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

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

class MakeBackup : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir.file("DIR.X"));
        fs::create_directories(dir.file("SUB"));
    }
    TempDir dir;
};

TEST_F(MakeBackup, NamesStayInTheLogsDirectory) {
    const struct {
        const char* log;
        const char* backup;
        const char* from;  // working directory, relative to the test's
    } cases[] = {
        {"LOG.TXT", "LOG.BAK", "."},         {"README", "README.BAK", "."},
        {"A.B.C", "A.B.BAK", "."},           {"LOG.", "LOG.BAK", "."},
        {"DIR.X/LOG", "DIR.X/LOG.BAK", "."}, {"DIR.X/LOG.TXT", "DIR.X/LOG.BAK", "."},
        {"../LOG", "../LOG.BAK", "SUB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        InDirectory inside(dir.file(c.from));
        write_file(c.log, "content");
        // Unrelated files where the naive rule would put these backups.
        write_file(dir.file("DIR.BAK"), "unrelated");
        write_file(dir.file("SUB/..BAK"), "unrelated");
        char backup[NAME_BUFFER_SIZE];
        ASSERT_EQ(make_backup(c.log, backup), 0) << std::strerror(errno);
        EXPECT_STREQ(backup, c.backup);
        EXPECT_FALSE(file_exists(c.log));
        EXPECT_EQ(read_file(c.backup), "content");
        EXPECT_EQ(read_file(dir.file("DIR.BAK")), "unrelated");
        EXPECT_EQ(read_file(dir.file("SUB/..BAK")), "unrelated");
        fs::remove(c.backup);
    }
}

TEST_F(MakeBackup, ReplacesTheOldBackup) {
    InDirectory inside(dir.path());
    write_file("LOG.TXT", "new");
    write_file("LOG.BAK", "old");
    char backup[NAME_BUFFER_SIZE];
    ASSERT_EQ(make_backup("LOG.TXT", backup), 0);
    EXPECT_EQ(list_directory("."), (std::vector<std::string>{"DIR.X", "LOG.BAK", "SUB"}));
    EXPECT_EQ(read_file("LOG.BAK"), "new");
}

TEST_F(MakeBackup, RefusalsTouchNothing) {
    InDirectory inside(dir.path());
    write_file("LOG.BAK", "log");
    char backup[NAME_BUFFER_SIZE];
    // Its backup would be itself: removing the "old backup" would delete it.
    EXPECT_NE(make_backup("LOG.BAK", backup), 0);
    EXPECT_EQ(read_file("LOG.BAK"), "log");

    EXPECT_NE(make_backup("MISSING.TXT", backup), 0);
    EXPECT_EQ(read_file("LOG.BAK"), "log");

    // A backup name that would not fit the buffer: refused before any access.
    std::string longest(NAME_BUFFER_SIZE - 5, 'A');
    std::string too_long(NAME_BUFFER_SIZE - 4, 'A');
    std::vector<char> exact(NAME_BUFFER_SIZE, '#');
    const ScopedFault counted;
    errno = 0;
    EXPECT_NE(make_backup(too_long.c_str(), exact.data()), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(counted.operations(), 0);
    EXPECT_NE(make_backup(longest.c_str(), exact.data()), 0);  // fits, but no such file
    EXPECT_EQ(std::string(exact.data()), longest + ".BAK");
}

// --- finish_rewrite ------------------------------------------------------------------

// Two PC-VAN messages out of order, each with a body of one line.
const std::string PCVAN_LOG = "#2/2 SECOND\r\n" PCVAN_TITLE
                              " (ABC01234)  96/05/13  21:34 (1)\r\n"
                              "--\r\nbody two\r\n--\r\n\r\n"
                              "#1/2 FIRST\r\n" PCVAN_TITLE
                              " (ABC01234)  96/05/12  21:34 (1)\r\n"
                              "--\r\nbody one\r\n--\r\n\r\n";
const std::string PCVAN_SORTED =
    PCVAN_LOG.substr(PCVAN_LOG.find("#1/2")) + PCVAN_LOG.substr(0, PCVAN_LOG.find("#1/2"));

class FinishRewrite : public testing::Test {
  protected:
    void SetUp() override {
        run_options = RunOptions{SERVICE_PCVAN, 1, 1, 0};
        // The saved copy's index, as the indexer and the sort leave it.
        index[0] = {1, 8364, 44096, 1, static_cast<int32_t>(PCVAN_LOG.find("#1/2"))};
        index[1] = {2, 8365, 44096, 1, 0};
        write_file(dir.file("LOG.BAK"), PCVAN_LOG);
    }

    int finish(const char* saved, const char* log, std::string* err) {
        InDirectory inside(dir.path());
        testing::internal::CaptureStderr();
        int result = finish_rewrite(saved, log, index, 2, nullptr);
        *err = testing::internal::GetCapturedStderr();
        return result;
    }

    TempDir dir;
    MessageIndexEntry index[MAX_INDEX_ENTRIES] = {};
};

TEST_F(FinishRewrite, WritesTheSortedLog) {
    std::string err;
    EXPECT_EQ(finish("LOG.BAK", "LOG.TXT", &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file(dir.file("LOG.TXT")), PCVAN_SORTED);
    EXPECT_EQ(read_file(dir.file("LOG.BAK")), PCVAN_LOG);
}

TEST_F(FinishRewrite, FailedCreationPutsTheSavedCopyBack) {
    std::string err;
    const ScopedFault fault(OP_OPEN, 3, EACCES);  // the new log opened for writing
    EXPECT_EQ(finish("LOG.BAK", "LOG.TXT", &err), -1);
    EXPECT_EQ(err, "File Open Error: LOG.$$$\n");
    EXPECT_EQ(list_directory(dir.path()), std::vector<std::string>{"LOG.TXT"});
    EXPECT_EQ(read_file(dir.file("LOG.TXT")), PCVAN_LOG);
}

// Whatever step of the write fails, the log ends up whole: sorted, or back as
// it was.
TEST_F(FinishRewrite, EveryFailureLeavesAWholeLog) {
    bool restored_after_write = false;
    InDirectory inside(dir.path());
    auto job = [&] {
        fs::remove("LOG.TXT");
        write_file("LOG.BAK", PCVAN_LOG);
        return finish_rewrite("LOG.BAK", "LOG.TXT", index, 2, nullptr);
    };
    sweep_failures(ENOSPC, job, [&](long, const FailedRun& run) {
        const std::string& err = run.err;
        if (run.result == 0) {
            EXPECT_EQ(read_file("LOG.TXT"), PCVAN_SORTED);
            return;
        }
        ASSERT_EQ(run.result, -1) << err;
        EXPECT_EQ(list_directory("."), std::vector<std::string>{"LOG.TXT"}) << err;
        EXPECT_EQ(read_file("LOG.TXT"), PCVAN_LOG) << err;
        restored_after_write = restored_after_write || err.find("Write Error") == 0;
    });
    EXPECT_TRUE(restored_after_write);
}

// The saved copy cannot go back (a directory holds the log's name): it is the
// only copy left, and the messages say where it is.
TEST_F(FinishRewrite, SavedCopyKeptWhenItCannotGoBack) {
    fs::create_directory(dir.file("LOG.TXT"));
    std::string err;
    EXPECT_EQ(finish("LOG.BAK", "LOG.TXT", &err), -2);
    EXPECT_EQ(err,
              "LOG.TXT: File exists\n"
              "LOG.TXT: File exists\n"
              "Saved copy kept: LOG.BAK\n");
    EXPECT_EQ(read_file(dir.file("LOG.BAK")), PCVAN_LOG);
    EXPECT_EQ(list_directory(dir.path()), (std::vector<std::string>{"LOG.BAK", "LOG.TXT"}));
}

// The name the new log is written under first belongs to someone else: the
// log is written in place and that file is left alone.
TEST_F(FinishRewrite, ForeignFileUnderTheNewLogsName) {
    write_file(dir.file("LOG.$$$"), "not ours");
    std::string err;
    EXPECT_EQ(finish("LOG.BAK", "LOG.TXT", &err), 0);
    EXPECT_EQ(read_file(dir.file("LOG.TXT")), PCVAN_SORTED);
    EXPECT_EQ(read_file(dir.file("LOG.$$$")), "not ours");
}

}  // namespace
