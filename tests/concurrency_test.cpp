// Runs at the same moment: two on one log, two on logs that share a backup
// name, and a run beside a program that writes to the log. The log's bytes
// always survive whole. (Signals at every operation: fault_sweep_test.)
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/test_files.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

struct Dialect {
    const char* name;
    const char* service;  // "P" or "N"
    std::string (*make_log)();
};

// Smaller under Wine, where each run costs far more.
std::string large_pcvan() {
    return make_large_pcvan_log(ON_POSIX ? 2000 : 300, 20);
}

// 80 copies of the example (2720 messages, each number 80 times); 12 under
// Wine.
std::string large_nifty() {
    std::string example = read_file(std::string(ZEMBRA_SOURCE_DIR) + "/examples/nifty.log");
    std::string log;
    for (int i = 0; i < (ON_POSIX ? 80 : 12); ++i) {
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

void PrintTo(const Dialect& dialect, std::ostream* out) {
    *out << dialect.name;
}

class ConcurrentRuns : public testing::TestWithParam<Dialect> {};

#ifndef _WIN32
int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

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
            const int busy = count_of(err, "Busy!: log.log\n");
            refused += busy;
            ASSERT_GE(finished, 1) << printable(err);
            ASSERT_EQ(finished + busy, 2) << printable(err);
            // A second run was refused, or came after the first had
            // finished and found the log in order: the backup is the original.
            Files expected = {{"log.log", sorted}};
            if (backup) {
                expected["LOG.BAK"] = log;
            }
            ASSERT_EQ(snapshot_tree(dir.path()), expected) << printable(err);
        }
    }
    std::printf("[ pairs    ] %s: %d pairs, %d second runs refused, no loss\n", dialect.name, pairs,
                refused);
}

#endif  // _WIN32

INSTANTIATE_TEST_SUITE_P(BothDialects, ConcurrentRuns, testing::ValuesIn(DIALECTS),
                         [](const auto& info) { return std::string(info.param.name); });

// FORUM.LOG and FORUM.TXT share FORUM.BAK: sorted by two runs at once, the
// first to finish makes the backup, and the other refuses to replace a
// backup recorded as another log's (or, where it came first, replaced it
// whole). A refused log is left as it was, never half of anything.
TEST_P(ConcurrentRuns, LogsSharingABackupNameLoseNothing) {
    const Dialect& dialect = GetParam();
    const std::string log = dialect.make_log();
    const std::string other = log + "other log\r\n";
    const std::string sorted = sorted_form(log, dialect.service);
    const std::string other_sorted = sorted_form(other, dialect.service);
    const std::string switches = std::string("-") + dialect.service;
    TempDir dir;
    for (int pair = 0; pair < (ON_POSIX ? 12 : 3); ++pair) {
        SCOPED_TRACE("pair " + std::to_string(pair));
        empty_directory(dir.path());
        write_file(dir.file("forum.log"), log);
        write_file(dir.file("forum.txt"), other);
        RunResult runs[2];
        std::thread beside([&] { runs[0] = run_program(dir.path(), {switches, "forum.log"}); });
        runs[1] = run_program(dir.path(), {switches, "forum.txt"});
        beside.join();
        Files files = snapshot_tree(dir.path());
        ASSERT_EQ(files.size(), 3u);
        const std::string* originals[] = {&log, &other};
        const std::string* sorted_forms[] = {&sorted, &other_sorted};
        const char* names[] = {"forum.log", "forum.txt"};
        for (int i = 0; i < 2; ++i) {
            if (runs[i].status == 0) {
                ASSERT_EQ(files[names[i]], *sorted_forms[i]) << printable(runs[i].err);
            } else {
                ASSERT_EQ(runs[i].status, 2);
                ASSERT_NE(runs[i].err.find("BackUp Failed! Skip!\n"), std::string::npos)
                    << printable(runs[i].err);
                ASSERT_EQ(files[names[i]], *originals[i]) << printable(runs[i].err);
            }
        }
        ASSERT_TRUE(runs[0].status == 0 || runs[1].status == 0);
        ASSERT_TRUE(files["FORUM.BAK"] == log || files["FORUM.BAK"] == other);
    }
}

}  // namespace
