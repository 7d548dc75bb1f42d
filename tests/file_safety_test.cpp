// What users do around a run must never cost a log: files left by an
// interrupted run, symbolic links, a shared directory, one file named twice,
// names that differ in case, and a log changed while it is rewritten.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/log_texts.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// The example holds 36 messages.
const std::string FINISHED = "Sorting[36]\n...Writing\n...Finish\n";

const std::string& original() {
    static const std::string log =
        read_file(std::string(ZEMBRA_SOURCE_DIR) + "/examples/pcvan.log");
    return log;
}

const std::string& sorted() {
    static const std::string log = [] {
        TempDir dir;
        write_file(dir.file("X.LOG"), original());
        run_program(dir.path(), {"-PB", "X.LOG"});
        return read_file(dir.file("X.LOG"));
    }();
    return log;
}

// "<O>" and "<S>" stand for the original and the sorted log.
std::string content(const std::string& text) {
    return text == "<O>" ? original() : text == "<S>" ? sorted() : text;
}

// The other way, so that a failure prints short.
Files describe(const Files& files) {
    Files described;
    for (const auto& [name, text] : files) {
        described[name] = text == original() ? "<O>" : text == sorted() ? "<S>" : printable(text);
    }
    return described;
}

struct FileCase {
    const char* name;
    Files before;  // a "-> " text makes a symbolic link, "=> " a hard link
    const char* from;
    std::vector<std::string> args;
    std::string err;
    Files after;
};

const FileCase FILE_CASES[] = {
    // An interrupted run left its side file; the next must not write in place.
    {"side_file_left_over",
     {{"FORUM.$$$", "partial"}, {"forum.log", "<O>"}},
     ".",
     {"-P", "forum.log"},
     "Reading: FORUM.LOG\n" + FINISHED,
     {{"FORUM.$$$", "partial"}, {"FORUM.BAK", "<O>"}, {"forum.log", "<S>"}}},
    // Someone else's link under the side name is neither followed nor removed.
    {"link_planted_under_side_name",
     {{"LOG.$$$", "-> victim"}, {"victim", "victim"}, {"log.log", "<O>"}},
     ".",
     {"-P", "log.log"},
     "Reading: LOG.LOG\n" + FINISHED,
     {{"LOG.$$$", "-> victim"}, {"victim", "victim"}, {"LOG.BAK", "<O>"}, {"log.log", "<S>"}}},
    {"link_to_its_own_backup",
     {{"LOG.BAK", "<O>"}, {"log.log", "-> LOG.BAK"}},
     ".",
     {"-P", "log.log"},
     "Skip!: log.log\n",
     {{"LOG.BAK", "<O>"}, {"log.log", "-> LOG.BAK"}}},
    // A link is rewritten through: its target gets the new log and the .BAK.
    {"link_rewritten_through",
     {{"real.log", "<O>"}, {"log.log", "-> real.log"}},
     ".",
     {"-P", "log.log"},
     "Reading: LOG.LOG\n" + FINISHED,
     {{"real.log", "<S>"}, {"real.BAK", "<O>"}, {"log.log", "-> real.log"}}},
    {"relative_link_in_another_directory",
     {{"d/real.log", "<O>"}, {"d/log.log", "-> real.log"}, {"w/log.log", "decoy"}},
     "w",
     {"-PB", "../d/log.log"},
     "Reading: ../D/LOG.LOG\n" + FINISHED,
     {{"d/real.log", "<S>"}, {"d/log.log", "-> real.log"}, {"w/log.log", "decoy"}}},
    // A file named twice is found in order the second time; a second hard
    // link is sorted under its own name, with its own backup.
    {"same_file_twice",
     {{"x.log", "<O>"}},
     ".",
     {"-P", "x.log", "x.log"},
     "Reading: X.LOG\n" + FINISHED + "Reading: X.LOG\nSorting[12]\n...Writing\n...Finish\n",
     {{"X.BAK", "<O>"}, {"x.log", "<S>"}}},
    {"second_hard_link",
     {{"a.txt", "<O>"}, {"b.txt", "=> a.txt"}},
     ".",
     {"-P", "a.txt", "b.txt"},
     "Reading: A.TXT\n" + FINISHED + "Reading: B.TXT\n" + FINISHED,
     {{"A.BAK", "<O>"}, {"a.txt", "<S>"}, {"B.BAK", "<O>"}, {"b.txt", "<S>"}}},
    // Within one run the second log must not replace the first's backup.
    {"same_backup_twice",
     {{"forum.log", "<O>"}, {"forum.txt", "<O>"}},
     ".",
     {"-P", "forum.log", "forum.txt"},
     "Reading: FORUM.LOG\n" + FINISHED + "Reading: FORUM.TXT\nSorting[36]\n...Writing\n" +
         "Already Processed!: FORUM.TXT\nSkip!\n",
     {{"FORUM.BAK", "<O>"}, {"forum.log", "<S>"}, {"forum.txt", "<O>"}}},
    {"names_differing_in_case",
     {{"forum.log", "<O>"}, {"FORUM.LOG", "<S>"}},
     ".",
     {"-N", "FORUM.LOG"},
     "Ambiguous Name!: FORUM.LOG\n",
     {{"forum.log", "<O>"}, {"FORUM.LOG", "<S>"}}},
    {"log_named_like_a_side_file",
     {{"log.$$$", "<O>"}},
     ".",
     {"-P", "log.$$$"},
     "Reading: LOG.$$$\n" + FINISHED,
     {{"log.$$$", "<S>"}, {"LOG.BAK", "<O>"}}},
};

void PrintTo(const FileCase& c, std::ostream* out) {
    *out << c.name;
}

class FileSafety : public testing::TestWithParam<FileCase> {};

TEST_P(FileSafety, LeavesEveryFileWhole) {
    const FileCase& c = GetParam();
    TempDir dir;
    fs::create_directories(dir.file("d"));
    fs::create_directories(dir.file("w"));
    for (const auto& [name, text] : c.before) {
        if (text.starts_with("-> ")) {
            fs::create_symlink(text.substr(3), dir.file(name));
        } else if (text.starts_with("=> ")) {
            fs::create_hard_link(dir.file(text.substr(3)), dir.file(name));
        } else {
            write_file(dir.file(name), content(text));
        }
    }
    RunResult run = run_program(dir.file(c.from), c.args);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(describe(snapshot_tree(dir.path())), c.after) << printable(run.err);
}

INSTANTIATE_TEST_SUITE_P(Cases, FileSafety, testing::ValuesIn(FILE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// The new log keeps the old one's permission bits, extended attributes and,
// for root, its owner.
TEST(FileSafetyAttributes, ModeAndOwnerKept) {
    TempDir dir;
    write_file(dir.file("LOG.LOG"), original());
    ASSERT_EQ(chmod(dir.file("LOG.LOG").c_str(), 0444), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(dir.file("LOG.LOG").c_str(), 1234, 1234), 0);
    }
    // An extended attribute, as ACLs and labels are kept.
    const bool xattrs = setxattr(dir.file("LOG.LOG").c_str(), "user.origin", "bbs", 3, 0) == 0;
    RunResult run = run_program(dir.path(), {"-PB", "LOG.LOG"});
    ASSERT_EQ(run.err, "Reading: LOG.LOG\n" + FINISHED);
    struct stat status;
    ASSERT_EQ(stat(dir.file("LOG.LOG").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0444u);
    if (root) {
        EXPECT_EQ(status.st_uid, 1234u);
        EXPECT_EQ(status.st_gid, 1234u);
    }
    char value[8] = {};
    if (xattrs) {
        EXPECT_EQ(getxattr(dir.file("LOG.LOG").c_str(), "user.origin", value, sizeof value), 3);
        EXPECT_STREQ(value, "bbs");
    }
}

// Nothing is written to the current directory: a run from one that takes no
// files (/proc, even for root) sorts a log elsewhere.
TEST(FileSafetyAttributes, CurrentDirectoryIsNotWritten) {
    TempDir dir;
    write_file(dir.file("LOG.LOG"), original());
    RunResult run = run_program("/proc", {"-PB", dir.file("LOG.LOG")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(describe(snapshot_tree(dir.path())), (Files{{"LOG.LOG", "<S>"}}));
}

// --- The log changed while it is rewritten ----------------------------------------------

class InDirectory {
  public:
    explicit InDirectory(const std::string& directory) : previous_(fs::current_path()) {
        fs::current_path(directory);
    }
    ~InDirectory() { fs::current_path(previous_); }

  private:
    fs::path previous_;
};

// A capture program that opens the log for writing, or an editor that saves
// a new file over the log's name, at every operation of a run. A writer
// that the kernel makes wait (a lease being broken) appends once the run has
// let go of the log.
// A message of its own, so that the sorted log keeps it.
const std::string APPENDED = pcvan_message("99", "96/12/31", "appended");
std::string replacement_path;
bool writer_waits = false;
int waiting_file = -1;  // the file the waiting writer's open found (O_PATH)

void append_to(const std::string& path) {
    int writer = open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, APPENDED.data(), APPENDED.size()),
              static_cast<ssize_t>(APPENDED.size()));
    close(writer);
}

void open_for_writing() {
    if (writer_waits) {
        return;
    }
    // The name is looked up before the open waits: the writer then writes
    // to the file it found, whatever the name holds by then.
    waiting_file = open(replacement_path.c_str(), O_PATH);
    int writer = open(replacement_path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK);
    if (writer < 0 && errno == EWOULDBLOCK) {
        writer_waits = true;
        return;
    }
    close(waiting_file);
    ASSERT_GE(writer, 0);
    close(writer);
    append_to(replacement_path);
}

void replace_the_log() {
    write_file(replacement_path + ".new", "replacement\r\n");
    fs::rename(replacement_path + ".new", replacement_path);
}

struct ChangeCase {
    const char* name;
    const char* switches;
    bool appends;
};

void PrintTo(const ChangeCase& c, std::ostream* out) {
    *out << c.name;
}

class LogChanged : public testing::TestWithParam<ChangeCase> {};

TEST_P(LogChanged, NothingIsLostAndNoFinishIsFalse) {
    const ChangeCase& c = GetParam();
    TempDir dir;
    const std::string appended = original() + APPENDED;
    // The sorted forms of what may have been indexed.
    auto sort = [&](const std::string& log) {
        write_file(dir.file("X.LOG"), log);
        run_program(dir.path(), {std::string(c.switches) + "B", "X.LOG"});
        const std::string sorted = read_file(dir.file("X.LOG"));
        fs::remove(dir.file("X.LOG"));
        return sorted;
    };
    const std::string sorted_log = sort(original());
    const std::string sorted_appended = sort(appended);
    if (c.appends) {
        ASSERT_TRUE(sorted_appended != sorted_log);
    }
    InDirectory inside(dir.path());
    replacement_path = "LOG.LOG";
    int changes_seen = 0;
    for (long n = 1; n < 5000; ++n) {
        SCOPED_TRACE("change at operation " + std::to_string(n));
        for (const auto& entry : fs::directory_iterator(".")) {
            fs::remove(entry.path());
        }
        write_file("LOG.LOG", original());
        writer_waits = false;
        std::vector<std::string> args = {"zembra", c.switches, "LOG.LOG"};
        std::vector<char*> argv = {args[0].data(), args[1].data(), args[2].data(), nullptr};
        testing::internal::CaptureStderr();
        const ScopedFault change(OP_ANY, n, c.appends ? open_for_writing : replace_the_log);
        RunOptions settings;
        const int status = run_zembra(3, argv.data(), &settings);
        const long operations = change.operations();
        const std::string err = testing::internal::GetCapturedStderr();
        if (writer_waits) {
            append_to("/proc/self/fd/" + std::to_string(waiting_file));
            close(waiting_file);
        }
        const Files files = snapshot_tree(".");
        const bool finished = err.find("...Finish\n") != std::string::npos;
        ASSERT_EQ(status, finished ? 0 : 2) << printable(err);
        const std::string& log = files.at("LOG.LOG");
        if (n > operations) {
            break;  // the run ended before the change
        }
        if (c.appends) {
            // The message lands in the log under its name: indexed and sorted,
            // after the sorted log, or after the log left as it was.
            ASSERT_TRUE(log == sorted_appended || log == sorted_log + APPENDED ||
                        (!finished && log == appended))
                << printable(err);
        } else {
            // What the editor saved survives; the log it replaced was whole.
            ASSERT_TRUE(log == "replacement\r\n" || (finished && log == sorted_log))
                << printable(err);
        }
        changes_seen += err.find("File Changed!") != std::string::npos;
    }
    EXPECT_GT(changes_seen, 0);
    std::printf("[ changed  ] %s: %d changes noticed\n", c.name, changes_seen);
}

// A program that has the log open for writing when the run starts: nothing
// is rewritten, whatever it writes lands in the log.
TEST(LogChangedWriterOpen, IsBusy) {
    for (const char* switches : {"-P", "-PB"}) {
        TempDir dir;
        write_file(dir.file("forum.log"), original());
        int writer = open(dir.file("forum.log").c_str(), O_WRONLY | O_APPEND);
        RunResult run = run_program(dir.path(), {switches, "forum.log"});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "Busy!: forum.log\n");
        close(writer);
        EXPECT_EQ(describe(snapshot_tree(dir.path())), (Files{{"forum.log", "<O>"}}));
    }
}

const ChangeCase CHANGE_CASES[] = {
    {"append_backup", "-P", true},
    {"append_no_backup", "-PB", true},
    {"replace_backup", "-P", false},
    {"replace_no_backup", "-PB", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, LogChanged, testing::ValuesIn(CHANGE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// In a sticky folder anyone may write, a link is followed only as the
// kernel's protected_symlinks would: when it is the runner's or the folder's
// owner's. Another user's link to a file of the runner is refused.
TEST(FileSafetySharedFolder, OnlyLinksOfTheRunnerOrTheFolderOwnerAreFollowed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to plant another user's link";
    }
    const struct {
        const char* name;
        uid_t link_owner;
        uid_t folder_owner;
        bool followed;
    } cases[] = {
        {"another_users_link", 1234, 0, false},
        {"the_runners_link", 0, 4321, true},
        {"the_folder_owners_link", 4321, 4321, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("root.log"), original());
        fs::create_directory(dir.file("pub"));
        ASSERT_EQ(chown(dir.file("pub").c_str(), c.folder_owner, c.folder_owner), 0);
        ASSERT_EQ(chmod(dir.file("pub").c_str(), 01777), 0);
        fs::create_symlink("../root.log", dir.file("pub/forum.log"));
        ASSERT_EQ(lchown(dir.file("pub/forum.log").c_str(), c.link_owner, c.link_owner), 0);
        const RunResult run = run_program(dir.path(), {"-P", "pub/forum.log"});
        if (c.followed) {
            EXPECT_EQ(run.status, 0) << printable(run.err);
            EXPECT_EQ(read_file(dir.file("root.log")), sorted());
        } else {
            EXPECT_EQ(run.status, 2);
            EXPECT_EQ(run.err, "pub/forum.log: Permission denied\n");
            EXPECT_EQ(describe(snapshot_tree(dir.path())),
                      describe({{"root.log", original()}, {"pub/forum.log", "-> ../root.log"}}));
        }
    }
}

// The -D dump is what was asked for: lost on a full or closed standard
// output, the run fails.
TEST(FileSafetyDump, ALostDumpFailsTheRun) {
    for (const char* redirect : {"> /dev/full", ">&-"}) {
        SCOPED_TRACE(redirect);
        TempDir dir;
        write_file(dir.file("forum.log"), original());
        const std::string command =
            std::string("exec '") + ZEMBRA_BINARY + "' -P -D forum.log " + redirect;
        const RunResult run = run_program(dir.path(), {"-c", command}, "/bin/sh");
        EXPECT_EQ(run.status, 2) << printable(run.err);
        EXPECT_NE(run.err.find("Write Error: (standard output): "), std::string::npos)
            << printable(run.err);
    }
}

// A folder the runner cannot write: a log in order is still found in order;
// one that would change is refused with the reason, and nothing changes.
TEST(FileSafetyReadOnlyFolder, LogsInOrderPassAndOthersAreRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run as another user";
    }
    for (const bool in_order : {true, false}) {
        SCOPED_TRACE(in_order ? "in order" : "out of order");
        TempDir dir;
        write_file(dir.file("forum.log"), in_order ? sorted() : original());
        ASSERT_EQ(chown(dir.path().c_str(), 1234, 1234), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
        const Files before = snapshot_tree(dir.path());
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            if (!freopen((dir.path() + "/../read-only-run.err").c_str(), "w", stderr) ||
                setgid(1234) != 0 || setuid(1234) != 0) {
                _exit(127);
            }
            InDirectory inside(dir.path());
            std::vector<std::string> args = {"zembra", "-P", "forum.log"};
            std::vector<char*> argv = {args[0].data(), args[1].data(), args[2].data(), nullptr};
            RunOptions settings;
            const int result = run_zembra(3, argv.data(), &settings);
            std::fflush(stderr);
            _exit(result);
        }
        int status = 0;
        waitpid(child, &status, 0);
        const std::string err = read_file(dir.path() + "/../read-only-run.err");
        std::remove((dir.path() + "/../read-only-run.err").c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), in_order ? 0 : 2) << printable(err);
        EXPECT_EQ(err.ends_with(in_order ? "...Finish\n" : "BackUp Failed! Skip!\n"), true)
            << printable(err);
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        EXPECT_EQ(snapshot_tree(dir.path()), before);
    }
}

}  // namespace

#endif  // _WIN32
