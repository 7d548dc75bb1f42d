// Ends a run at every file operation, for both dialects, with and without
// backup: the operation fails, or a signal of each kind arrives (SIGKILL
// standing for a crash or a power cut: the process leaves the files as they
// are at that instant). After each, one invariant: the log's name holds the
// whole old or the whole sorted log, the ".BAK" the old backup or the whole
// old log, nothing else the user has is changed, and a rerun finishes the job.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "driver/command_line.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

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

const std::string OLD_BACKUP = "an older backup\r\n";
const std::string OTHER_FILE = "not a log\r\n";

// The directory as the user left it: the log, its old backup, another file.
void set_up(const std::string& directory, const std::string& log) {
    for (const auto& entry : fs::directory_iterator(directory)) {
        fs::remove_all(entry.path());
    }
    write_file((fs::path(directory) / "forum.log").string(), log);
    write_file((fs::path(directory) / "FORUM.BAK").string(), OLD_BACKUP);
    write_file((fs::path(directory) / "other.txt").string(), OTHER_FILE);
}

int run_inside(const std::string& directory, const char* switches) {
    run_options = INITIAL_RUN_OPTIONS;
    InDirectory inside(directory);
    std::vector<std::string> args = {"zembra", switches, "forum.log"};
    std::vector<char*> argv = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    return run_zembra(3, argv.data());
}

// What may be left after a run ended at any instant. `side_files` allows the
// new log's side files, which only a crash leaves behind; a run that could
// not remove one names it in `err`.
::testing::AssertionResult holds_invariant(const Files& files, const std::string& log,
                                           const std::string& sorted, bool backup, bool side_files,
                                           const std::string& err = "") {
    Files rest = files;
    const std::string now = rest["forum.log"];
    const std::string bak = rest["FORUM.BAK"];
    if (now != log && now != sorted) {
        return ::testing::AssertionFailure() << "forum.log is neither the log nor the sorted log";
    }
    if (bak != OLD_BACKUP && !(backup && bak == log)) {
        return ::testing::AssertionFailure() << "FORUM.BAK holds " << printable(bak.substr(0, 40));
    }
    if (rest["other.txt"] != OTHER_FILE) {
        return ::testing::AssertionFailure() << "other.txt changed";
    }
    rest.erase("forum.log");
    rest.erase("FORUM.BAK");
    rest.erase("other.txt");
    for (const auto& [name, bytes] : rest) {
        const bool named = err.find(name + ": ") != std::string::npos;
        if (!(side_files || named) || !name.starts_with("FORUM.$")) {
            return ::testing::AssertionFailure() << "left behind: " << name;
        }
    }
    return ::testing::AssertionSuccess();
}

class FaultSweep : public testing::TestWithParam<SweepCase> {
  protected:
    void SetUp() override {
        const SweepCase& sweep = GetParam();
        log_ = read_file(std::string(ZEMBRA_SOURCE_DIR) + "/examples/" + sweep.example);
        backup_ = std::string(sweep.switches).find('B') == std::string::npos;
        set_up(dir_.path(), log_);
        const ScopedFault counted;
        testing::internal::CaptureStderr();
        EXPECT_EQ(run_inside(dir_.path(), sweep.switches), 0);
        testing::internal::GetCapturedStderr();
        operations_ = counted.operations();
        sorted_ = read_file(dir_.file("forum.log"));
        ASSERT_NE(sorted_, log_);
    }

    // A rerun over what is left sorts the log, and with backup the ".BAK"
    // then holds the original log whatever the first run did.
    void expect_rerun_finishes() {
        std::string left;
        for (const auto& name : list_directory(dir_.path())) {
            left += name + " ";
        }
        RunResult again = run_program(dir_.path(), {GetParam().switches, "forum.log"});
        ASSERT_EQ(again.status, 0) << left << printable(again.err);
        ASSERT_EQ(read_file(dir_.file("forum.log")), sorted_) << printable(again.err);
        ASSERT_EQ(read_file(dir_.file("FORUM.BAK")), backup_ ? log_ : OLD_BACKUP);
    }

    TempDir dir_;
    std::string log_;
    std::string sorted_;
    bool backup_ = true;
    long operations_ = 0;
};

TEST_P(FaultSweep, EveryFailedOperationKeepsTheLog) {
    ASSERT_GT(operations_, 10);
    for (int error : {ENOSPC, EIO}) {
        for (long n = 1; n <= operations_; ++n) {
            SCOPED_TRACE("operation " + std::to_string(n) + " failing with " +
                         std::to_string(error));
            set_up(dir_.path(), log_);
            const FailedRun run =
                run_failing(n, error, [&] { return run_inside(dir_.path(), GetParam().switches); });
            const Files files = snapshot_tree(dir_.path());
            ASSERT_TRUE(holds_invariant(files, log_, sorted_, backup_, false, run.err))
                << printable(run.err);
            const bool finished = run.err.ends_with("...Finish\n");
            // Finished means sorted; anything else, a status that says so.
            if (finished) {
                ASSERT_EQ(files.at("forum.log"), sorted_) << printable(run.err);
            }
            ASSERT_EQ(run.result, finished ? 0 : 2) << printable(run.err);
            expect_rerun_finishes();
        }
    }
}

#ifndef _WIN32
// Every signal that ends a process by default, SIGKILL among them, and two
// that must not end a run at all.
const int ENDING_SIGNALS[] = {SIGKILL, SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGALRM, SIGXCPU,
                              SIGUSR1, SIGVTALRM, SIGPROF, SIGPIPE, SIGXFSZ, SIGUSR2};
int hooked_signal = 0;

void raise_hooked_signal() {
    raise(hooked_signal);
}

// In a child process: the signal at operation n. 128 + the signal when it
// ended the run, else the run's status.
int run_signalled(const std::string& directory, const char* switches, long n, int signal_number) {
    hooked_signal = signal_number;
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (!freopen("/dev/null", "w", stderr)) {
            _exit(127);
        }
        const ScopedFault signal_at(OP_ANY, n, raise_hooked_signal);
        _exit(run_inside(directory, switches));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

TEST_P(FaultSweep, EverySignalAtEveryOperationKeepsTheLog) {
    int ended = 0;
    for (long n = 1; n <= operations_; ++n) {
        // SIGKILL at every operation, the others in turn.
        const size_t count = sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0];
        for (int signal_number : {SIGKILL, ENDING_SIGNALS[1 + n % (count - 1)]}) {
            SCOPED_TRACE("signal " + std::to_string(signal_number) + " at operation " +
                         std::to_string(n));
            set_up(dir_.path(), log_);
            const int status = run_signalled(dir_.path(), GetParam().switches, n, signal_number);
            const bool ignored = signal_number == SIGPIPE || signal_number == SIGXFSZ;
            ASSERT_EQ(status, ignored ? 0 : 128 + signal_number);
            ended += ignored ? 0 : 1;
            const bool crash = signal_number == SIGKILL;
            ASSERT_TRUE(holds_invariant(snapshot_tree(dir_.path()), log_, sorted_, backup_, crash));
            expect_rerun_finishes();
        }
    }
    std::printf("[ sweep    ] %s: %ld operations, %d runs ended by a signal, no loss\n",
                GetParam().name, operations_, ended);
}
#endif

INSTANTIATE_TEST_SUITE_P(BothDialects, FaultSweep, testing::ValuesIn(SWEEP_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
