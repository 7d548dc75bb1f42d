// Two runs on one log at the same moment, and interrupts at every step of a
// run: the log's bytes always survive whole, under its name or a name the run
// printed, and a rerun finishes the job. (Interrupts at random moments from
// outside: crash_safety_test.)
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
using Files = std::map<std::string, std::string>;

struct Dialect {
    const char* name;
    const char* service;  // "P" or "N"
    std::string (*make_log)();
};

std::string large_pcvan() {
    return make_large_pcvan_log(2000, 20);
}

// 80 copies of the example: 2720 messages, each number 80 times.
std::string large_nifty() {
    std::string example = read_file(std::string(ZEMBRA_SOURCE_DIR) + "/examples/nifty.log");
    std::string log;
    for (int i = 0; i < 80; ++i) {
        log += example;
    }
    return log;
}

const Dialect DIALECTS[] = {{"pcvan", "P", large_pcvan}, {"nifty", "N", large_nifty}};

void empty_directory(const std::string& path) {
    for (const auto& entry : fs::directory_iterator(path)) {
        fs::remove_all(entry.path());
    }
}

std::string sorted_form(const std::string& log, const std::string& service) {
    TempDir dir;
    write_file(dir.file("X.LOG"), log);
    run_program(dir.path(), {"-" + service + "B", "X.LOG"});
    return read_file(dir.file("X.LOG"));
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

void PrintTo(const Dialect& dialect, std::ostream* out) {
    *out << dialect.name;
}

class ConcurrentRuns : public testing::TestWithParam<Dialect> {};

TEST_P(ConcurrentRuns, PairsOnOneLogLoseNothing) {
    const Dialect& dialect = GetParam();
    const std::string log = dialect.make_log();
    const std::string sorted = sorted_form(log, dialect.service);
    TempDir dir;
    TempDir errs;
    int pairs = 0;
    int refused = 0;
    for (bool backup : {true, false}) {
        const std::string switches = std::string("-") + dialect.service + (backup ? "" : "B");
        for (int pair = 0; pair < 12; ++pair, ++pairs) {
            SCOPED_TRACE(switches + " pair " + std::to_string(pair));
            empty_directory(dir.path());
            write_file(dir.file("log.log"), log);
            int first = start_program(dir.path(), {switches, "log.log"}, errs.file("1"));
            int second = start_program(dir.path(), {switches, "log.log"}, errs.file("2"));
            const int statuses[] = {wait_program(first), wait_program(second)};
            // A run that did not finish (refused, or the log gone or changed
            // under it) reports a problem.
            for (int i = 0; i < 2; ++i) {
                const std::string own = read_file(errs.file(i == 0 ? "1" : "2"));
                ASSERT_EQ(statuses[i], own.find("...Finish\n") != std::string::npos ? 0 : 2)
                    << printable(own);
            }
            const std::string err = read_file(errs.file("1")) + read_file(errs.file("2"));
            const int finished = count_of(err, "...Finish\n");
            refused += count_of(err, "Busy!: log.log\n");
            ASSERT_GE(finished, 1) << printable(err);
            // A second run either found the log moved away, was refused, or
            // came after the first had finished; then it backed up the sorted log.
            Files expected = {{"LOG.LOG", sorted}};
            if (backup) {
                expected["LOG.BAK"] = finished == 2 ? sorted : log;
            }
            ASSERT_EQ(snapshot_tree(dir.path()), expected) << printable(err);
        }
    }
    std::printf("[ pairs    ] %s: %d pairs, %d second runs refused, no loss\n", dialect.name, pairs,
                refused);
}

INSTANTIATE_TEST_SUITE_P(BothDialects, ConcurrentRuns, testing::ValuesIn(DIALECTS),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Interrupts ---------------------------------------------------------------------------

// After an interrupt the directory holds one of these, and nothing else.
bool is_interrupted_state(const Files& files, const std::string& log, const std::string& sorted,
                          bool backup) {
    if (files == Files{{"log.log", log}} || files == Files{{"LOG.LOG", log}}) {
        return true;  // not yet moved, or put back
    }
    if (backup) {
        return files == Files{{"LOG.BAK", log}, {"LOG.LOG", sorted}};
    }
    if (files.size() == 1) {
        return files == Files{{"LOG.LOG", sorted}};
    }
    // The new log in place and the temporary not yet gone, or the log copied
    // back from another file system: the temporary is kept and named.
    if (files.size() != 2) {
        return false;
    }
    auto temporary = files.begin();
    auto other = std::next(temporary);
    if (!temporary->first.starts_with("TMP")) {
        std::swap(temporary, other);
    }
    return temporary->first.starts_with("TMP") && temporary->second == log &&
           ((other->first == "LOG.LOG" && other->second == sorted) ||
            ((other->first == "LOG.LOG" || other->first == "log.log") && other->second == log));
}

const int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
int hooked_signal = 0;

void raise_hooked_signal() {
    raise(hooked_signal);
}

struct InterruptCase {
    const char* name;
    const char* switches;
    bool cross_device;  // every rename without replacing meets EXDEV: moves are copies
};

void PrintTo(const InterruptCase& c, std::ostream* out) {
    *out << c.name;
}

class Interrupts : public testing::TestWithParam<InterruptCase> {};

// In a child process, a signal at operation n of the run, for every n; then
// the state left, then a rerun.
TEST_P(Interrupts, AtEveryOperation) {
    const InterruptCase& c = GetParam();
    const bool backup = std::string(c.switches).find('B') == std::string::npos;
    const std::string log = read_file(std::string(ZEMBRA_SOURCE_DIR) + "/examples/pcvan.log");
    const std::string sorted = sorted_form(log, "P");
    TempDir dir;
    int delivered = 0;
    for (long n = 1;; ++n) {
        SCOPED_TRACE("signal at operation " + std::to_string(n));
        empty_directory(dir.path());
        write_file(dir.file("log.log"), log);
        hooked_signal = SIGNALS[n % 3];
        std::fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            if (chdir(dir.path().c_str()) != 0 || !freopen("/dev/null", "w", stderr)) {
                _exit(127);
            }
            run_options = INITIAL_RUN_OPTIONS;
            std::vector<std::string> args = {"zembra", c.switches, "log.log"};
            std::vector<char*> argv = {args[0].data(), args[1].data(), args[2].data(), nullptr};
            const ScopedFault signal_at(OP_ANY, n, raise_hooked_signal);
            const ScopedFault cross_device(OP_NO_REPLACE_RENAME, c.cross_device ? 1 : 0, EXDEV,
                                           FROM_THEN_ON);
            run_zembra(3, argv.data());
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFSIGNALED(status)) {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            break;  // the run had fewer operations
        }
        ++delivered;
        ASSERT_EQ(WTERMSIG(status), hooked_signal);
        const Files files = snapshot_tree(dir.path());
        std::string names;
        for (const auto& [name, bytes] : files) {
            names += name + (bytes == log ? " (log) " : bytes == sorted ? " (sorted) " : " ");
        }
        ASSERT_TRUE(is_interrupted_state(files, log, sorted, backup)) << names;
        RunResult again = run_program(dir.path(), {c.switches, "log.log"});
        ASSERT_TRUE(again.status == 0 || again.status == 2) << again.status;
        ASSERT_EQ(read_file(dir.file("LOG.LOG")), sorted) << printable(again.err);
    }
    EXPECT_GT(delivered, 10);
    std::printf("[ signals  ] %s: %d interrupts at every operation, no loss\n", c.name, delivered);
}

const InterruptCase INTERRUPT_CASES[] = {
    {"backup", "-P", false},
    {"no_backup", "-PB", false},
    {"no_backup_cross_device", "-PB", true},
};

INSTANTIATE_TEST_SUITE_P(Modes, Interrupts, testing::ValuesIn(INTERRUPT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#endif  // _WIN32
