// Ends a run at every file operation, for both dialects, with and without
// backup: the operation fails, or a signal of each kind arrives (SIGKILL
// standing for a crash or a power cut: the process leaves the files as they
// are at that instant). After each, one invariant: the log's name holds the
// whole old or the whole sorted log, the ".BAK" the old backup or the whole
// old log (and the old backup while the log is old), nothing else the user
// has is changed, and a rerun finishes the job. On POSIX the same run meets
// a folder swapped for a link, a capture appending, a locked log and another
// user's log at every operation, and the program is killed at moments spread
// over a run of a large log.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#endif

#include "driver/command_line.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/log_texts.h"
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

int run_inside(const std::string& directory, const char* switches,
               const char* log_name = "forum.log") {
    InDirectory inside(directory);
    std::vector<std::string> args = {"zembra", switches, log_name};
    std::vector<char*> argv = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    RunOptions settings;
    return run_zembra(3, argv.data(), &settings);
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
    // The old backup is replaced only after the new log is in place.
    if (now == log && now != sorted && bak != OLD_BACKUP) {
        return ::testing::AssertionFailure() << "the old backup went while the log was old";
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
int run_signalled(const std::string& directory, const char* switches, long n, int signal_number,
                  const std::string& messages) {
    hooked_signal = signal_number;
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (!freopen(messages.c_str(), "w", stderr)) {
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
            const TempDir out;
            const int status =
                run_signalled(dir_.path(), GetParam().switches, n, signal_number, out.file("err"));
            const bool ignored = signal_number == SIGPIPE || signal_number == SIGXFSZ;
            ASSERT_EQ(status, ignored ? 0 : 128 + signal_number);
            ended += ignored ? 0 : 1;
            const bool crash = signal_number == SIGKILL;
            const Files files = snapshot_tree(dir_.path());
            ASSERT_TRUE(holds_invariant(files, log_, sorted_, backup_, crash));
            // A catchable signal ends a run before the replace or after its
            // report: a replaced log was reported.
            if (!crash && files.at("forum.log") == sorted_) {
                ASSERT_TRUE(read_file(out.file("err")).ends_with("...Finish\n"));
            }
            expect_rerun_finishes();
        }
    }
    std::printf("[ sweep    ] %s: %ld operations, %d runs ended by a signal, no loss\n",
                GetParam().name, operations_, ended);
}
// A log whose run lasts long enough for kills to land inside each of its
// steps: 3,000 messages of 60 body lines, in reverse order.
std::string large_log(const SweepCase& sweep) {
    if (std::string(sweep.example) == "pcvan.log") {
        return make_large_pcvan_log(3000, 60);
    }
    std::string body;
    for (int line = 0; line < 60; ++line) {
        body += "body line " + std::to_string(line) + "\r\n";
    }
    std::string log;
    for (int number = 3000; number >= 1; --number) {
        char date_time[32];
        std::snprintf(date_time, sizeof date_time, "%02d/%02d/%02d %02d:%02d", 96 + number / 2880,
                      number / 240 % 12 + 1, number / 8 % 30 + 1, number % 24, number % 60);
        log += nifty_header(number, date_time) + body;
    }
    return log;
}

// Between operations too: the program killed at moments spread over a whole
// run of a large log, SIGKILL and an interrupt in turn.
TEST_P(FaultSweep, AKillAtAnyInstantKeepsTheLog) {
    log_ = large_log(GetParam());
    set_up(dir_.path(), log_);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_program(dir_.path(), {GetParam().switches, "forum.log"}).status, 0);
    const auto whole_run = std::chrono::steady_clock::now() - start;
    sorted_ = read_file(dir_.file("forum.log"));
    const TempDir errs;
    const int kills = 16;
    const int interrupts[] = {SIGINT, SIGTERM, SIGHUP};
    int caught_rewriting = 0;  // killed while the new log was being written
    for (int k = 0; k < kills; ++k) {
        const int signal_number = k % 2 == 0 ? SIGKILL : interrupts[k / 2 % 3];
        SCOPED_TRACE("signal " + std::to_string(signal_number) + " at " + std::to_string(k) + "/" +
                     std::to_string(kills) + " of a run");
        set_up(dir_.path(), log_);
        const int pid =
            start_program(dir_.path(), {GetParam().switches, "forum.log"}, errs.file("err"));
        // Every other kill waits for the rewrite to begin, so that some land
        // inside it however loaded the machine is.
        const auto begun = std::chrono::steady_clock::now();
        while (k % 2 == 1 && std::chrono::steady_clock::now() - begun < 4 * whole_run &&
               read_file(errs.file("err")).find("...Writing") == std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(whole_run * k / kills / (k % 2 == 1 ? 4 : 1));
        kill(pid, signal_number);
        const bool killed = wait_program(pid) == 128 + signal_number;
        const std::string err = read_file(errs.file("err"));
        const Files files = snapshot_tree(dir_.path());
        ASSERT_TRUE(holds_invariant(files, log_, sorted_, backup_, signal_number == SIGKILL, err))
            << printable(err);
        const bool writing = err.find("...Writing") != std::string::npos;
        caught_rewriting += killed && writing && files.at("forum.log") != sorted_ ? 1 : 0;
        expect_rerun_finishes();
    }
    std::printf("[ kills    ] %s: %d kills, %d during the rewrite, no loss\n", GetParam().name,
                kills, caught_rewriting);
    // Kills that all land before the first change or after the last prove
    // nothing about the rewrite.
    EXPECT_GT(caught_rewriting, 0);
}

// --- Hostile folders (POSIX, as root) ------------------------------------------------

// Where the log's folder was swapped for a link, and where the link leads: a
// folder of root's that no step may create or change anything in.
std::string flip_base;

void swap_folder_for_link() {
    fs::rename(flip_base + "/pub", flip_base + "/pub.real");
    fs::create_directory_symlink("secret", flip_base + "/pub");
}

// Another user's folder and log, beside root's own.
void set_up_hostile(const std::string& base, const std::string& log) {
    for (const auto& entry : fs::directory_iterator(base)) {
        fs::remove_all(entry.path());
    }
    fs::create_directory(base + "/pub");
    fs::create_directory(base + "/secret");
    set_up(base + "/pub", log);
    for (const auto& entry : fs::directory_iterator(base + "/pub")) {
        ASSERT_EQ(chown(entry.path().c_str(), 1234, 1234), 0);
    }
    ASSERT_EQ(chown((base + "/pub").c_str(), 1234, 1234), 0);
    write_file(base + "/secret/forum.log", "root's own file\r\n");
    write_file(base + "/secret/FORUM.BAK", "root's own backup\r\n");
    ASSERT_EQ(chmod((base + "/secret").c_str(), 0700), 0);
}

// Root sorts pub/forum.log, a log of another user in that user's folder,
// and the folder is swapped for a link to root's own at each operation in
// turn: every step after the hold stays in the folder held, so root's
// folder is never touched and the user's log keeps the invariant.
TEST_P(FaultSweep, EveryOperationWithTheFolderSwappedForALink) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the folder to another user";
    }
    TempDir base;
    flip_base = base.path();
    set_up_hostile(base.path(), log_);
    const Files secret = snapshot_tree(base.file("secret"));
    for (long n = 1; n <= operations_ + 10; ++n) {
        SCOPED_TRACE("folder swapped at operation " + std::to_string(n));
        set_up_hostile(base.path(), log_);
        testing::internal::CaptureStderr();
        int status = 0;
        {
            const ScopedFault swap_at(OP_ANY, n, swap_folder_for_link);
            status = run_inside(base.path(), GetParam().switches, "pub/forum.log");
        }
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(snapshot_tree(base.file("secret")), secret) << printable(err);
        const bool swapped = fs::exists(base.file("pub.real"));
        const Files held = snapshot_tree(base.file(swapped ? "pub.real" : "pub"));
        ASSERT_TRUE(holds_invariant(held, log_, sorted_, backup_, false, err)) << printable(err);
        ASSERT_EQ(status, err.ends_with("...Finish\n") ? 0 : 2) << printable(err);
    }
}

const std::string APPENDED = "appended by a capture\r\n";
std::string appended_log;
bool appended = false;

// A capture program appends to the log: a held lease is given back at once
// and the append waits for nothing.
void append_to_log() {
    appended = true;
    int fd = open(appended_log.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK);
    if (fd < 0 && errno == EWOULDBLOCK) {
        fd = open(appended_log.c_str(), O_WRONLY | O_APPEND);
    }
    if (fd >= 0) {
        ssize_t written = write(fd, APPENDED.data(), APPENDED.size());
        (void)written;
        close(fd);
    }
}

// A capture appends at each operation in turn: the append is never lost,
// whether it lands before the run reads the log, in the old log (then the
// log is not replaced) or in the new one.
TEST_P(FaultSweep, EveryOperationWithTheLeaseBroken) {
    // The log sorted with the append in it, as a run that read it after.
    set_up(dir_.path(), log_ + APPENDED);
    ASSERT_EQ(run_program(dir_.path(), {GetParam().switches, "forum.log"}).status, 0);
    const std::string sorted_with_append = read_file(dir_.file("forum.log"));
    appended_log = dir_.file("forum.log");
    // Also where names cannot be swapped nor linked (exFAT, vfat): the old
    // log is copied, and the append must not land in a file left behind.
    for (bool swap : {true, false}) {
        const ScopedFault no_swap(OP_EXCHANGE, swap ? 0 : 1, EINVAL, FROM_THEN_ON);
        const ScopedFault no_links(OP_LINK, swap ? 0 : 1, EPERM, FROM_THEN_ON);
        int replaced = 0;
        long operations = 0;
        for (long n = 1; n <= operations_ + 20; ++n, ++operations) {
            SCOPED_TRACE("append at operation " + std::to_string(n) +
                         (swap ? "" : " without swap"));
            set_up(dir_.path(), log_);
            testing::internal::CaptureStderr();
            int status = 0;
            appended = false;
            {
                const ScopedFault append_at(OP_ANY, n, append_to_log);
                status = run_inside(dir_.path(), GetParam().switches);
            }
            const std::string err = testing::internal::GetCapturedStderr();
            if (!appended) {
                break;  // past the run's last operation
            }
            const Files files = snapshot_tree(dir_.path());
            const std::string now = files.at("forum.log");
            const std::string bak = files.at("FORUM.BAK");
            ASSERT_TRUE(now == log_ + APPENDED || now == sorted_ + APPENDED ||
                        now == sorted_with_append)
                << printable(err);
            ASSERT_EQ(status, err.ends_with("...Finish\n") ? 0 : 2) << printable(err);
            // Sorted without the append: only when it was read with the log.
            if (backup_ && now == sorted_with_append && now != sorted_ + APPENDED) {
                ASSERT_EQ(bak, log_ + APPENDED) << printable(err);
            }
            replaced += now == sorted_ + APPENDED ? 1 : 0;
            ASSERT_TRUE(bak == OLD_BACKUP || (backup_ && (bak == log_ || bak == log_ + APPENDED)))
                << printable(err);
            ASSERT_EQ(files.size(), 3u) << printable(err);
        }
        std::printf("[ lease    ] %s%s: %ld appends, %d after the replace, none lost\n",
                    GetParam().name, swap ? "" : " without swap", operations, replaced);
    }
}

// Immutable or append-only (chattr +i, +a): refused, every file as it was.
TEST_P(FaultSweep, LockedLogsAreLeftWhole) {
    for (int flag : {FS_IMMUTABLE_FL, FS_APPEND_FL}) {
        set_up(dir_.path(), log_);
        const Files before = snapshot_tree(dir_.path());
        const int fd = open(dir_.file("forum.log").c_str(), O_RDONLY);
        int flags = 0;
        const bool set = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                         (flags |= flag, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        if (!set) {
            close(fd);
            GTEST_SKIP() << "no immutable or append-only flag on this file system";
        }
        RunResult run = run_program(dir_.path(), {GetParam().switches, "forum.log"});
        flags &= ~flag;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
        close(fd);
        EXPECT_EQ(run.status, 2) << printable(run.err);
        EXPECT_EQ(snapshot_tree(dir_.path()), before) << printable(run.err);
    }
}

// A user given read and write by an access list sorts another user's log:
// the new log could not keep its owner, so the log is left as it was. Then
// the owner's folder has a default access list: the new log gets none.
TEST_P(FaultSweep, NonOwnerRunsAndDefaultAccessLists) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to play two users";
    }
    set_up(dir_.path(), log_);
    ASSERT_EQ(chown(dir_.file("forum.log").c_str(), 4321, 4321), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir_.file("forum.log").c_str(), 0666), 0);
    const Files before = snapshot_tree(dir_.path());
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (!freopen("/dev/null", "w", stderr) || setgid(1234) != 0 || setuid(1234) != 0) {
            _exit(127);
        }
        _exit(run_inside(dir_.path(), GetParam().switches));
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_EQ(snapshot_tree(dir_.path()), before);
    // user 1234 may read and write whatever is made in the folder
    const uint32_t acl[] = {2,          0x00070001, 0xFFFFFFFF, 0x00060002, 1234,      0x00070004,
                            0xFFFFFFFF, 0x00070010, 0xFFFFFFFF, 0x00000020, 0xFFFFFFFF};
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    if (setxattr(dir_.path().c_str(), "system.posix_acl_default", acl, sizeof acl, 0) != 0) {
        GTEST_SKIP() << "no access lists here";
    }
    ASSERT_EQ(chmod(dir_.file("forum.log").c_str(), 0640), 0);
    RunResult run = run_program(dir_.path(), {GetParam().switches, "forum.log"});
    ASSERT_EQ(run.status, 0) << printable(run.err);
    struct stat log_status;
    ASSERT_EQ(stat(dir_.file("forum.log").c_str(), &log_status), 0);
    EXPECT_EQ(log_status.st_uid, 4321u);
    EXPECT_EQ(log_status.st_mode & 07777, 0640u);
    EXPECT_LT(getxattr(dir_.file("forum.log").c_str(), "system.posix_acl_access", nullptr, 0), 0);
    EXPECT_EQ(read_file(dir_.file("forum.log")), sorted_);
}
#endif

INSTANTIATE_TEST_SUITE_P(BothDialects, FaultSweep, testing::ValuesIn(SWEEP_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
