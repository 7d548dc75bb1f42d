// Makes every file operation of a run fail in turn, for both dialects, with and
// without backup, and checks after each that no byte of the first log is lost
// and that the second log is still processed.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

struct SweepCase {
    const char* name;
    const char* switches;  // service and backup switches
    const char* example;   // shipped example log
};

const SweepCase SWEEP_CASES[] = {
    {"pcvan_backup", "-P", "pcvan.log"},
    {"pcvan_no_backup", "-PB", "pcvan.log"},
    {"nifty_backup", "-N", "nifty.log"},
    {"nifty_no_backup", "-NB", "nifty.log"},
};

using DirectoryState = std::map<std::string, std::string>;

DirectoryState snapshot(const std::string& directory) {
    DirectoryState state;
    for (const auto& name : list_directory(directory)) {
        state[name] = read_file((fs::path(directory) / name).string());
    }
    return state;
}

struct RunOutcome {
    int status;
    std::string err;
    DirectoryState files;
    long operations;
};

// Runs zembra in-process in `directory` on first.log and second.log.
RunOutcome run_in(const std::string& directory, const char* switches, const std::string& original,
                  long fail_at, int error, bool both = true) {
    for (const auto& entry : fs::directory_iterator(directory)) {
        fs::remove_all(entry.path());
    }
    write_file((fs::path(directory) / "first.log").string(), original);
    // The second log differs, so that its copies never pass for the first's.
    write_file((fs::path(directory) / "second.log").string(), original + "second log\r\n");
    run_options = INITIAL_RUN_OPTIONS;
    InDirectory inside(directory);
    std::vector<std::string> args = {"zembra", switches, "first.log", "second.log"};
    if (!both) {
        args.pop_back();
    }
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const FailedRun run = run_failing(
        fail_at, error, [&] { return run_zembra(static_cast<int>(args.size()), argv.data()); });
    return {run.result, run.err, snapshot(directory), run.operations};
}

bool some_file_holds(const DirectoryState& files, const std::string& bytes) {
    for (const auto& [name, content] : files) {
        if (content == bytes) {
            return true;
        }
    }
    return false;
}

std::string first_log_part(const std::string& err) {
    size_t second = err.find("Reading: SECOND.LOG");
    return second == std::string::npos ? err : err.substr(0, second);
}

class FaultSweep : public testing::TestWithParam<SweepCase> {};

TEST_P(FaultSweep, EveryFailedOperationKeepsTheLog) {
    const SweepCase& sweep = GetParam();
    std::string original = read_file(std::string(ZEMBRA_SOURCE_DIR) + "/examples/" + sweep.example);
    ASSERT_FALSE(original.empty());
    TempDir dir;
    RunOutcome clean = run_in(dir.path(), sweep.switches, original, 0, 0);
    ASSERT_EQ(clean.status, 0);
    const std::string sorted = clean.files.at("FIRST.LOG");
    ASSERT_NE(sorted, original);
    const std::string second_sorted = clean.files.at("SECOND.LOG");
    ASSERT_GT(clean.operations, 10);
    // Operations up to this number belong to the first log.
    const long first_operations =
        run_in(dir.path(), sweep.switches, original, 0, 0, false).operations;

    const bool no_backup = std::string(sweep.switches).find('B') != std::string::npos;
    long survived = 0;
    for (int error : {ENOSPC, EIO, EXDEV}) {
        for (long n = 1; n <= clean.operations; ++n) {
            SCOPED_TRACE("operation " + std::to_string(n) + " failing with " +
                         std::to_string(error));
            RunOutcome run = run_in(dir.path(), sweep.switches, original, n, error);
            ASSERT_TRUE(run.status == 0 || run.status == 2) << printable(run.err);
            std::string first_err = first_log_part(run.err);
            bool first_finished = first_err.find("...Finish\n") != std::string::npos;
            if (first_finished) {
                // A log reported as written must be the whole sorted log.
                ASSERT_EQ(run.files.count("FIRST.LOG"), 1u) << printable(run.err);
                ASSERT_EQ(run.files.at("FIRST.LOG"), sorted) << printable(run.err);
            }
            if (!(first_finished && no_backup)) {
                ASSERT_TRUE(some_file_holds(run.files, original)) << printable(run.err);
            }
            if (n <= first_operations) {
                // A failure with the first log never stops the second.
                ASSERT_NE(run.err.find("Reading: SECOND.LOG\n"), std::string::npos)
                    << printable(run.err);
                ASSERT_TRUE(run.err.ends_with("...Finish\n")) << printable(run.err);
                ASSERT_EQ(run.files.at("SECOND.LOG"), second_sorted) << printable(run.err);
            } else {
                ASSERT_TRUE(first_finished) << printable(run.err);
                bool second_finished = run.err.ends_with("...Finish\n");
                if (second_finished) {
                    ASSERT_EQ(run.files.at("SECOND.LOG"), second_sorted) << printable(run.err);
                }
                if (!(second_finished && no_backup)) {
                    ASSERT_TRUE(some_file_holds(run.files, original + "second log\r\n"))
                        << printable(run.err);
                }
            }
            ++survived;
        }
    }
    std::printf("[ sweep    ] %s: %ld operations per run, %ld faults survived\n", sweep.name,
                clean.operations, survived);
}

TEST_P(FaultSweep, NoTemporaryFileIsLeftWhenNothingFails) {
    const SweepCase& sweep = GetParam();
    std::string original = read_file(std::string(ZEMBRA_SOURCE_DIR) + "/examples/" + sweep.example);
    TempDir dir;
    RunOutcome clean = run_in(dir.path(), sweep.switches, original, 0, 0);
    for (const auto& [name, content] : clean.files) {
        EXPECT_EQ(name.find(".$$$"), std::string::npos) << name;
    }
    bool backup = std::string(sweep.switches).find('B') == std::string::npos;
    EXPECT_EQ(clean.files.size(), backup ? 4u : 2u);
    if (backup) {
        EXPECT_EQ(clean.files.at("FIRST.BAK"), original);
    }
}

INSTANTIATE_TEST_SUITE_P(BothDialects, FaultSweep, testing::ValuesIn(SWEEP_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
