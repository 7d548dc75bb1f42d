// What users do around a run must never cost a log: files left by an
// interrupted run, symbolic links, a shared directory, one file named twice,
// names that differ in case, and a log changed while it is rewritten.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
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
    Files before;  // a "-> " text makes a symbolic link
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
     {{"FORUM.$$$", "partial"}, {"FORUM.BAK", "<O>"}, {"FORUM.LOG", "<S>"}}},
    // Someone else's link under the side name is neither followed nor removed.
    {"link_planted_under_side_name",
     {{"LOG.$$$", "-> victim"}, {"victim", "victim"}, {"log.log", "<O>"}},
     ".",
     {"-P", "log.log"},
     "Reading: LOG.LOG\n" + FINISHED,
     {{"LOG.$$$", "-> victim"}, {"victim", "victim"}, {"LOG.BAK", "<O>"}, {"LOG.LOG", "<S>"}}},
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
    // Within one run the second name must not replace the first's backup.
    {"same_file_twice",
     {{"x.log", "<O>"}},
     ".",
     {"-P", "x.log", "x.log"},
     "Reading: X.LOG\n" + FINISHED + "Already Processed!: x.log\n",
     {{"X.BAK", "<O>"}, {"X.LOG", "<S>"}}},
    {"same_backup_twice",
     {{"forum.log", "<O>"}, {"forum.txt", "<S>"}},
     ".",
     {"-P", "forum.log", "forum.txt"},
     "Reading: FORUM.LOG\n" + FINISHED + "Already Processed!: forum.txt\n",
     {{"FORUM.BAK", "<O>"}, {"FORUM.LOG", "<S>"}, {"forum.txt", "<S>"}}},
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
     {{"LOG.$$$", "<S>"}, {"LOG.BAK", "<O>"}}},
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

// The new log keeps the old one's permission bits and, for root, its owner.
TEST(FileSafetyAttributes, ModeAndOwnerKept) {
    TempDir dir;
    write_file(dir.file("LOG.LOG"), original());
    ASSERT_EQ(chmod(dir.file("LOG.LOG").c_str(), 0444), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(dir.file("LOG.LOG").c_str(), 1234, 1234), 0);
    }
    RunResult run = run_program(dir.path(), {"-PB", "LOG.LOG"});
    ASSERT_EQ(run.err, "Reading: LOG.LOG\n" + FINISHED);
    struct stat status;
    ASSERT_EQ(stat(dir.file("LOG.LOG").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0444u);
    if (root) {
        EXPECT_EQ(status.st_uid, 1234u);
        EXPECT_EQ(status.st_gid, 1234u);
    }
}

// A -B run whose current directory takes no file names the temporary. (/proc
// takes none, even from root.)
TEST(FileSafetyAttributes, UnwritableCurrentDirectoryIsNamed) {
    TempDir dir;
    write_file(dir.file("LOG.LOG"), original());
    RunResult run = run_program("/proc", {"-PB", dir.file("LOG.LOG")});
    if (run.err.find("...Finish") != std::string::npos) {
        GTEST_SKIP() << "/proc took a file";
    }
    EXPECT_NE(run.err.find("\nTMP1.$$$: "), std::string::npos) << run.err;
    EXPECT_TRUE(run.err.ends_with("Skip!\n")) << run.err;
    EXPECT_EQ(describe(snapshot_tree(dir.path())), (Files{{"LOG.LOG", "<O>"}}));
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

// A capture program appending to the log it still holds open, or an editor
// saving a new file over the log's name, at every operation of a run.
int appender = -1;
std::string replacement_path;

void append_a_line() {
    const char line[] = "appended\r\n";
    ASSERT_EQ(write(appender, line, sizeof line - 1), static_cast<ssize_t>(sizeof line - 1));
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
    const std::string appended = original() + "appended\r\n";
    // The sorted forms of what may have been indexed.
    std::string sorted_appended;
    {
        write_file(dir.file("X.LOG"), appended);
        run_program(dir.path(), {"-PB", "X.LOG"});
        sorted_appended = read_file(dir.file("X.LOG"));
        fs::remove(dir.file("X.LOG"));
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
        appender = open("LOG.LOG", O_WRONLY | O_APPEND);
        run_options = INITIAL_RUN_OPTIONS;
        std::vector<std::string> args = {"zembra", c.switches, "LOG.LOG"};
        std::vector<char*> argv = {args[0].data(), args[1].data(), args[2].data(), nullptr};
        testing::internal::CaptureStderr();
        const ScopedFault change(OP_ANY, n, c.appends ? append_a_line : replace_the_log);
        run_zembra(3, argv.data());
        const long operations = change.operations();
        const std::string err = testing::internal::GetCapturedStderr();
        close(appender);
        const Files files = snapshot_tree(".");
        // What the change made of the log survives whole somewhere.
        const std::string changed = c.appends ? appended : "replacement\r\n";
        bool survived = false;
        for (const auto& [name, text] : files) {
            survived = survived || text == changed;
        }
        const bool finished = err.find("...Finish\n") != std::string::npos;
        // Appended before it was read, the line is part of the sorted log. The
        // temporary's last check and its removal are one system call apart:
        // a change between them cannot be seen (the last operation of -B).
        const bool indexed = finished && files.at("LOG.LOG") == sorted_appended;
        const bool at_removal = std::string(c.switches) == "-PB" && n == operations;
        if (n <= operations && !at_removal) {
            ASSERT_TRUE(survived || indexed) << printable(err);
        }
        if (finished) {
            // (A save over the log after it was put in place is the user's.)
            const std::string& log = files.at("LOG.LOG");
            ASSERT_TRUE(log == sorted() || log == (c.appends ? sorted_appended : changed))
                << printable(err);
        }
        changes_seen += err.find("File Changed!") != std::string::npos ||
                        err.find("Saved copy kept") != std::string::npos;
        if (n > operations) {
            break;
        }
    }
    EXPECT_GT(changes_seen, 0);
    std::printf("[ changed  ] %s: %d changes noticed\n", c.name, changes_seen);
}

const ChangeCase CHANGE_CASES[] = {
    {"append_backup", "-P", true},
    {"append_no_backup", "-PB", true},
    {"replace_backup", "-P", false},
    {"replace_no_backup", "-PB", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, LogChanged, testing::ValuesIn(CHANGE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#endif  // _WIN32
