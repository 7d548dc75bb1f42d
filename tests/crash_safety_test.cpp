// Kills zembra with SIGKILL at many points of a rewrite of a large log and
// checks that the log's original bytes always survive whole somewhere, and
// that a second run over what is left completes or refuses cleanly.
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
};

class CrashSafety : public testing::TestWithParam<CrashCase> {};

TEST_P(CrashSafety, KilledRewriteLosesNothing) {
    const CrashCase& crash = GetParam();
    const std::string original = make_large_pcvan_log(3000, 60);
    TempDir dir;

    // A clean run gives the sorted log and the time a whole run takes.
    write_file(dir.file("forum.log"), original);
    auto start = std::chrono::steady_clock::now();
    RunResult clean = run_program(dir.path(), {crash.switches, "forum.log"});
    auto whole_run = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(clean.status, 0) << clean.err;
    const std::string sorted = read_file(dir.file("FORUM.LOG"));
    ASSERT_TRUE(sorted != original);

    const int kills = 24;
    int killed_mid_run = 0;
    for (int k = 0; k < kills; ++k) {
        SCOPED_TRACE("kill " + std::to_string(k));
        for (const auto& name : list_directory(dir.path())) {
            std::remove(dir.file(name).c_str());
        }
        write_file(dir.file("forum.log"), original);
        pid_t child = start_program(dir.path(), {crash.switches, "forum.log"});
        std::this_thread::sleep_for(whole_run * k / kills);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        bool was_killed = WIFSIGNALED(status);
        killed_mid_run += was_killed ? 1 : 0;
        // A kill after the sorted log is in place may still catch the process.
        bool finished = read_file(dir.file("FORUM.LOG")) == sorted;
        if (!finished) {
            ASSERT_TRUE(some_file_holds(dir.path(), original));
        }

        RunResult again = run_program(dir.path(), {crash.switches, "forum.log"});
        ASSERT_EQ(again.status, 0) << again.err;
        EXPECT_TRUE(some_file_holds(dir.path(), original) || some_file_holds(dir.path(), sorted))
            << again.err;
    }
    std::printf("[ crash    ] %s: %d kills, %d in mid-run, all survived\n", crash.name, kills,
                killed_mid_run);
}

const CrashCase CRASH_CASES[] = {{"backup", "-P"}, {"no_backup", "-PB"}};

INSTANTIATE_TEST_SUITE_P(Modes, CrashSafety, testing::ValuesIn(CRASH_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#endif
