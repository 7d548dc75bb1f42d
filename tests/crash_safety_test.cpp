// Kills zembra with SIGKILL at many points of a rewrite of a large log and
// checks that the log's name always holds a whole log (the original or the
// sorted one), and that a second run over what is left completes.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/log_texts.h"
#include "support/test_files.h"

namespace {

bool some_file_holds(const std::string& directory, const std::string& bytes) {
    for (const auto& name : list_directory(directory)) {
        std::string path = directory + "/" + name;
        if (read_file(path) == bytes) {
            return true;
        }
    }
    return false;
}

struct CrashCase {
    const char* name;
    const char* switches;
    bool interrupts;  // SIGINT, SIGTERM and SIGHUP in turn instead of SIGKILL
};

// An interrupted run has put the log back under its name, or finished; no
// side file is left.
void expect_log_in_place(const std::string& directory, const std::string& original,
                         const std::string& sorted) {
    std::string log = read_file(directory + "/forum.log");
    ASSERT_TRUE(log == original || log == sorted);
    for (const auto& name : list_directory(directory)) {
        ASSERT_FALSE(name.starts_with("FORUM.$")) << name;
    }
}

class CrashSafety : public testing::TestWithParam<CrashCase> {};

TEST_P(CrashSafety, KilledRewriteLosesNothing) {
    const CrashCase& crash = GetParam();
    const std::string original = make_large_pcvan_log(3000, 60);
    TempDir dir;
    TempDir errs;

    // A clean run gives the sorted log and the time a whole run takes.
    write_file(dir.file("forum.log"), original);
    auto start = std::chrono::steady_clock::now();
    RunResult clean = run_program(dir.path(), {crash.switches, "forum.log"});
    auto whole_run = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(clean.status, 0) << clean.err;
    const std::string sorted = read_file(dir.file("forum.log"));
    ASSERT_TRUE(sorted != original);

    const int kills = crash.interrupts ? 12 : 24;
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    int killed_mid_run = 0;
    int caught_rewriting = 0;  // killed while the sorted log was being written
    for (int k = 0; k < kills; ++k) {
        SCOPED_TRACE("kill " + std::to_string(k));
        for (const auto& name : list_directory(dir.path())) {
            std::remove(dir.file(name).c_str());
        }
        write_file(dir.file("forum.log"), original);
        pid_t child = start_program(dir.path(), {crash.switches, "forum.log"}, errs.file("err"));
        std::this_thread::sleep_for(whole_run * k / kills);
        kill(child, crash.interrupts ? signals[k % 3] : SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        bool was_killed = WIFSIGNALED(status);
        killed_mid_run += was_killed ? 1 : 0;
        // A kill after the sorted log is in place may still catch the process.
        // The log's name always holds a whole log.
        const std::string now = read_file(dir.file("forum.log"));
        ASSERT_TRUE(now == original || now == sorted);
        bool finished = now == sorted;
        if (!finished) {
            ASSERT_TRUE(some_file_holds(dir.path(), original));
        }
        const bool writing = read_file(errs.file("err")).find("...Writing") != std::string::npos;
        caught_rewriting += was_killed && !finished && writing ? 1 : 0;
        if (crash.interrupts) {
            expect_log_in_place(dir.path(), original, sorted);
        }

        RunResult again = run_program(dir.path(), {crash.switches, "forum.log"});
        // 2 when the kill left the previous content under a saved name only.
        ASSERT_TRUE(again.status == 0 || again.status == 2) << again.err;
        EXPECT_TRUE(some_file_holds(dir.path(), original) || some_file_holds(dir.path(), sorted))
            << again.err;
    }
    std::printf("[ crash    ] %s: %d kills, %d in mid-run, %d during the rewrite, all survived\n",
                crash.name, kills, killed_mid_run, caught_rewriting);
    // Kills that all land before the first change or after the last prove
    // nothing about the rewrite.
    EXPECT_GT(caught_rewriting, 0) << killed_mid_run << " kills before the process ended";
}

const CrashCase CRASH_CASES[] = {
    {"backup", "-P", false},
    {"no_backup", "-PB", false},
    {"backup_interrupted", "-P", true},
    {"no_backup_interrupted", "-PB", true},
};

INSTANTIATE_TEST_SUITE_P(Modes, CrashSafety, testing::ValuesIn(CRASH_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#endif
