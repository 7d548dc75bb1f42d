#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/log_texts.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

// Runs the whole command line in this process from fresh settings. Only for
// argument lists without file names: those would reach the log job.
int run_in_process(std::vector<std::string> args, RunOptions* settings = nullptr) {
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    RunOptions ignored;
    return run_zembra(static_cast<int>(args.size()), argv.data(),
                      settings != nullptr ? settings : &ignored);
}

TEST(DetectService, NifAnywhereInAnyCaseMeansNifty) {
    const std::pair<std::string, int> cases[] = {
        {"zembra.exe", SERVICE_PCVAN},
        {"myNiFty", SERVICE_NIFTY},
        {"nif", SERVICE_NIFTY},
        {"zembranif.exe", SERVICE_NIFTY},
        {"ni-f", SERVICE_PCVAN},
        {"", SERVICE_PCVAN},
        {"\x83\x6e"
         "if",
         SERVICE_PCVAN},  // the "n" is the trail of a double-byte character
    };
    for (const auto& [name, service] : cases) {
        std::string buffer = name;
        EXPECT_EQ(detect_service_from_name(buffer.data()), service) << printable(name);
    }
    std::string name = "myNiFty.exe";
    detect_service_from_name(name.data());
    EXPECT_EQ(name, "MYNIFTY.EXE");  // upper-cased in place
}

struct SwitchCase {
    std::vector<std::string> args;
    RunOptions expected;
};

TEST(RunZembra, SwitchesAndProgramNameFixTheSettings) {
    const SwitchCase cases[] = {
        {{"zembra", "-nb"}, {SERVICE_NIFTY, 0, 1, 0}},
        {{"zembra", "-N", "-B"}, {SERVICE_NIFTY, 0, 1, 0}},
        {{"zembra", "-PN"}, {SERVICE_NIFTY, 1, 1, 0}},  // a later switch wins
        {{"zembra", "-NP"}, {SERVICE_PCVAN, 1, 1, 0}},
        {{"nifty", "-v"}, {SERVICE_PCVAN, 1, 1, 0}},  // a switch beats the name
        {{"zembra", "-!", "-d"}, {SERVICE_PCVAN, 1, 0, 1}},
        {{"zembra", "-"}, {SERVICE_PCVAN, 1, 1, 0}},  // a lone mark sets nothing
        {{"/opt/bin/myNiFty", "-B"}, {SERVICE_NIFTY, 0, 1, 0}},
        {{"C:\\tools\\nif.exe", "-B"}, {SERVICE_NIFTY, 0, 1, 0}},
        {{"nif\\zembra.exe", "-B"}, {SERVICE_PCVAN, 0, 1, 0}},
        {{"abc\\nif/zembra", "-B"}, {SERVICE_PCVAN, 0, 1, 0}},
        {{"abc/zembra\\nif", "-B"}, {SERVICE_NIFTY, 0, 1, 0}},
        // 0x95 0x5C is one double-byte character, not a path separator.
        {{"nif\x95\x5c"
          "abc",
          "-B"},
         {SERVICE_NIFTY, 0, 1, 0}},
    };
    for (const auto& c : cases) {
        RunOptions settings;
        EXPECT_EQ(run_in_process(c.args, &settings), 0) << printable(c.args[0]) << " " << c.args[1];
        EXPECT_EQ(settings.service, c.expected.service) << printable(c.args[0]);
        EXPECT_EQ(settings.make_backup, c.expected.make_backup) << c.args[1];
        EXPECT_EQ(settings.line_check, c.expected.line_check) << c.args[1];
        EXPECT_EQ(settings.debug_dump, c.expected.debug_dump) << c.args[1];
    }
}

TEST(RunZembra, BadSwitchesEndWithStatusOne) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"zembra", "-nx", "file.log"}, "Bad Switch: -nx\n"},
        // "?" asks for the usage only in the first argument.
        {{"zembra", "-N", "-?"}, "Bad Switch: -?\n"},
        {{"zembra", "-N\x81"}, "Bad Switch: -N\x81\n"},
    };
    for (const auto& [args, message] : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(run_in_process(args), 1) << args[1];
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    }
}

TEST(RunZembra, MissingProgramPathStillGivesUsage) {
    char* no_arguments[] = {nullptr};
    testing::internal::CaptureStderr();
    RunOptions settings;
    EXPECT_EQ(run_zembra(0, no_arguments, &settings), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Usage : zembra <-P|-N>"), std::string::npos) << err;
}

// End-to-end runs of the built binary.

std::string usage_text(const std::string& program_name) {
#ifdef _WIN32
    const std::string platform = "WIN32";
#else
    const std::string platform = "POSIX";
#endif
    return "zembra for PC-VAN & NIFTY SERVE ver1.24(" + platform +
           ") - sorts BBS conference-room logs\n"
           "Usage : " +
           program_name +
           " <-P|-N> [-B|/B] <File> [<File> ...]\n"
           "option:  -P|/P PC-VAN\n"
           "         -N|/N NIFTY SERVE\n"
           "         -B|/B Not BackUp\n"
           "         -!|/! Do Not Line Check in PC-VAN Log\n";
}

// The build names the binary by its host path; under Wine "/" is drive Z:.
std::string binary_path() {
    std::string path = ZEMBRA_BINARY;
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
#endif
    return path;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(CommandLine, UsageOnNoArgumentOrQuestionMark) {
    TempDir dir;
    const std::string name = fs::path(binary_path()).filename().string();
#ifdef _WIN32
    const std::vector<std::string> cases[] = {{}, {"-?xyz"}, {"-?"}, {"/?"}, {"/?/N"}};
#else
    const std::vector<std::string> cases[] = {{}, {"-?xyz"}, {"-?"}};
#endif
    for (const auto& args : cases) {
        RunResult result = run_program(dir.path(), args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, usage_text(name)) << printable(result.err);
        EXPECT_EQ(result.out, "");
    }
}

TEST(CommandLine, UsageShowsTheProgramNameUnchanged) {
    TempDir dir;
#ifdef _WIN32
    const std::string copy_name = "myNiFty.exe";
#else
    const std::string copy_name = "myNiFty";
#endif
    fs::copy_file(binary_path(), dir.file(copy_name));
    fs::permissions(dir.file(copy_name), fs::perms::owner_all, fs::perm_options::add);
    RunResult result = run_program(dir.path(), {}, dir.file(copy_name));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, usage_text(copy_name)) << printable(result.err);
}

TEST(CommandLine, SwitchesWithoutFilesDoNothing) {
    TempDir dir;
#ifdef _WIN32
    const char* const cases[] = {"-nb", "-P", "-!D", "-", "/nb", "/"};
#else
    const char* const cases[] = {"-nb", "-P", "-!D", "-"};
#endif
    for (const char* switches : cases) {
        RunResult result = run_program(dir.path(), {switches, "-v"});
        EXPECT_EQ(result.status, 0) << switches;
        EXPECT_EQ(result.err, "") << switches;
        EXPECT_EQ(result.out, "") << switches;
    }
    EXPECT_EQ(list_directory(dir.path()), std::vector<std::string>{});
}

TEST(CommandLine, BadSwitchNamesTheWholeArgument) {
    TempDir dir;
#ifdef _WIN32
    const std::vector<std::string> bad = {"/n/b", "-n-b", "/x"};
#else
    const std::vector<std::string> bad = {"-n/b", "-n-b", "-x"};
#endif
    for (const auto& arg : bad) {
        RunResult result = run_program(dir.path(), {"-N", arg, "file.log"});
        EXPECT_EQ(result.status, 1) << arg;
        EXPECT_EQ(result.err, "Bad Switch: " + arg + "\n");
        EXPECT_EQ(result.out, "");
    }
}

#ifndef _WIN32
TEST(CommandLine, AbsolutePathIsAFileName) {
    TempDir dir;
    // The lines on standard error are the log job's report of the missing file.
    RunResult result = run_program(dir.path(), {"-N", dir.file("missing.log")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.find("Bad Switch"), std::string::npos) << result.err;
    result = run_program(dir.path(), {dir.file("missing.log")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.find("Bad Switch"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("Usage"), std::string::npos) << result.err;
}
#endif

// Where each option stands: switch letters after a file name are file names
// (the original rule), long options are options anywhere before "--", and
// --check anywhere leaves every log and its ".BAK" as they were.
struct PlacementCase {
    std::vector<std::string> args;
    int status;
    std::string out;
    bool sorted;          // REV.TXT sorted (its old bytes in REV.BAK)
    std::string err_has;  // a line standard error must hold
};

TEST(CommandLine, OptionsWhereverTheyStand) {
    const std::string one = pcvan_message("1", "96/05/12", "a");
    const std::string two = pcvan_message("2", "96/05/13", "b");
    const std::string none = ": " + std::string(std::strerror(ENOENT)) + "\n";
    const std::string change = "REV.TXT: would change: 2 moved, 0 repeats dropped\n";
    const PlacementCase cases[] = {
        {{"-P", "REV.TXT", "--check"}, 3, change, false, "Reading: REV.TXT\n"},
        {{"--check", "-P", "REV.TXT"}, 3, change, false, ""},
        {{"-P", "REV.TXT", "--CHECK"}, 3, change, false, ""},  // letter case does not matter
        {{"REV.TXT", "--check", "-P"}, 2, change, false, "-P" + none},
        {{"-P", "REV.TXT", "-B"}, 2, "", true, "-B" + none},
        {{"-P", "REV.TXT", "--", "--check"}, 2, "", true, "--check" + none},
        {{"-P", "--check", "REV.TXT", "LOG.TXT", "--list"}, 3, "REV.TXT\n", false, ""},
        {{"-P", "--list", "rev.txt", "log.txt"}, 3, "rev.txt\n", false, ""},  // names as typed
        {{"-P", "REV.TXT", "--max-messages", "1", "--check"}, 2, "", false, "Out of Range![2]"},
        {{"-P", "REV.TXT", "--max-messages=1", "--check"}, 2, "", false, "Out of Range![2]"},
        {{"-P", "REV.TXT", "--max-messages", "5"}, 0, "", true, "...Finish\n"},
        {{"-P", "REV.TXT", "--max-messages"}, 1, "", false, "Bad Switch: --max-messages\n"},
        {{"-P", "REV.TXT", "--max-messages", "0"}, 1, "", false, "Bad Switch: --max-messages 0\n"},
        {{"-P", "REV.TXT", "--bogus", "--check"}, 1, "", false, "Bad Switch: --bogus\n"},
        {{"-P", "REV.TXT", "--version"},
         0,
         "zembra 1.24 (" + std::string(PLATFORM_WORD) + ")\n",
         false,
         ""},
        {{"-P", "REV.TXT", "--verbose"}, 0, "", true, "1 log: 1 sorted, 0 already in order\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_file(dir.file("REV.TXT"), two + one);
        write_file(dir.file("LOG.TXT"), one + two);
        write_file(dir.file("REV.BAK"), "old backup");
        RunResult result = run_program(dir.path(), c.args);
        const std::string line = c.args[0] + " " + c.args[1] + " " + c.args[2];
        EXPECT_EQ(result.status, c.status) << line << ": " << result.err;
        EXPECT_EQ(result.out, c.out) << line;
        EXPECT_NE(result.err.find(c.err_has), std::string::npos) << line << ": " << result.err;
        EXPECT_EQ(read_file(dir.file("REV.TXT")), c.sorted ? one + two : two + one) << line;
        EXPECT_EQ(read_file(dir.file("REV.BAK")), c.sorted ? two + one : "old backup") << line;
        EXPECT_EQ(read_file(dir.file("LOG.TXT")), one + two) << line;
    }
}

// After "--" a name with "?" or "*" is a name like any other.
TEST(CommandLine, WildcardAfterDashesIsAName) {
    TempDir dir;
    RunResult result = run_program(dir.path(), {"-P", "--", "what?.log"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.find("WildCard"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("what?.log"), std::string::npos) << result.err;
#ifndef _WIN32
    write_file(dir.file("what?.log"),
               pcvan_message("2", "96/05/13", "b") + pcvan_message("1", "96/05/12", "a"));
    result = run_program(dir.path(), {"-P", "--", "what?.log"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(file_exists(dir.file("WHAT?.BAK")));
#endif
}

TEST(CommandLine, WildcardArgumentsAreRefusedOneByOne) {
    TempDir dir;
    RunResult result = run_program(dir.path(), {"-N", "a*.log", "b?.log"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err,
              "WildCard not Supported!: a*.log\n"
              "WildCard not Supported!: b?.log\n");

    result = run_program(dir.path(), {"a*.log", "b.log"});
    EXPECT_EQ(result.status, 2);
    const std::string refusal = "WildCard not Supported!: a*.log\n";
    ASSERT_TRUE(starts_with(result.err, refusal)) << result.err;
    // The rest is the log job's report on the missing b.log: it was processed.
    EXPECT_NE(result.err.find("b.log", refusal.size()), std::string::npos) << result.err;
}

// The long options, "--" and the exit statuses, in a directory that holds
// one ".BAK" file and one log that is already in order.
struct StatusCase {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

// In a directory of a ".BAK" file, a log in order and one in reverse order.
TEST(CommandLine, LongOptionsAndExitStatuses) {
    const std::string one = pcvan_message("1", "96/05/12", "a");
    const std::string two = pcvan_message("2", "96/05/13", "b");
    const std::string none = ": " + std::string(std::strerror(ENOENT)) + "\n";
    const std::string version = "zembra 1.24 (" + std::string(PLATFORM_WORD) + ")\n";
    const std::string would_change = "REV.TXT: would change: 2 moved, 0 repeats dropped\n";
    const StatusCase cases[] = {
        {{"--version"}, version, "", 0},
        {{"-N", "--version", "-x"}, version, "", 0},  // nothing after it is looked at
        {{"-N", "--"}, "", "", 0},
        {{"--", "-B"}, "", "-B" + none, 2},
        {{"--bogus"}, "", "Bad Switch: --bogus\n", 1},
        {{"--max-messages=0"}, "", "Bad Switch: --max-messages=0\n", 1},
        {{"--max-messages=12x"}, "", "Bad Switch: --max-messages=12x\n", 1},
        {{"--max-messages=99999999999999999999"},
         "",
         "Bad Switch: --max-messages=99999999999999999999\n",
         1},
        {{"--max-messages=107374182", "--check"}, "", "", 0},
        {{"OLD.BAK"}, "", "Skip!: OLD.BAK\n", 0},  // refused by name: no problem
        {{"NONE.LOG", "OLD.BAK"}, "", "NONE.LOG" + none + "Skip!: OLD.BAK\n", 2},
        {{"x*.log"}, "", "WildCard not Supported!: x*.log\n", 2},
        {{"-P", "--check", "LOG.TXT"}, "LOG.TXT: in order\n", "Reading: LOG.TXT\n", 0},
        {{"-P", "--check", "REV.TXT", "LOG.TXT"},
         would_change + "LOG.TXT: in order\n",
         "Reading: REV.TXT\nReading: LOG.TXT\n",
         3},
        {{"-P", "--check", "REV.TXT", "NONE.LOG"},
         would_change,  // 2 wins over 3
         "Reading: REV.TXT\nNONE.LOG" + none,
         2},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_file(dir.file("OLD.BAK"), "old");
        write_file(dir.file("LOG.TXT"), one + two);
        write_file(dir.file("REV.TXT"), two + one);
        RunResult result = run_program(dir.path(), c.args);
        EXPECT_EQ(result.status, c.status) << c.args[0];
        EXPECT_EQ(result.out, c.out) << c.args[0];
        EXPECT_EQ(result.err, c.err) << c.args[0];
        EXPECT_EQ(read_file(dir.file("REV.TXT")), two + one) << c.args[0];
    }
}

TEST(CommandLine, HelpNamesEverySwitchAndStatus) {
    TempDir dir;
    RunResult result = run_program(dir.path(), {"-N", "--help", "x"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::string name = fs::path(binary_path()).filename().string();
    const std::string banner = usage_text(name).substr(0, usage_text(name).find('\n') + 1);
    EXPECT_TRUE(starts_with(result.out, banner + "Usage: " + name + " [-P|-N]")) << result.out;
    for (const char* word : {" -P, -V ", " -N ", " -B ", " -! ", " -D ", " --check ",
                             " --max-messages N ", " --  ", " --help ", " --version ", " --list ",
                             " --verbose ", "  0  ", "  1  ", "  2  ", "  3  ", "Example:"}) {
        EXPECT_NE(result.out.find(word), std::string::npos) << word;
    }
}

#ifdef _WIN32
// cmd.exe passes patterns on; zembra expands them itself, in name order,
// ignoring case, only in the last part, and refuses one that matches nothing.
TEST(CommandLine, WildcardsAreExpandedOnWindows) {
    const StatusCase cases[] = {
        {{"-P", "?.log"}, "", "A.LOG B.LOG ", 0},
        {{"-P", "sub\\*.LOG", "b*"}, "", "SUB\\C.LOG B.LOG ", 0},
        {{"-P", "*.XYZ", "sub*\\*.log", "A.LOG"}, "", "A.LOG ", 2},
    };
    for (const auto& [args, out, logs, status] : cases) {
        TempDir dir;
        fs::create_directory(dir.file("sub"));
        for (const char* name : {"A.LOG", "B.LOG", "NOTES.TXT", "sub\\C.LOG"}) {
            write_file(dir.file(name), pcvan_message("1", "96/05/12", "a"));
        }
        RunResult result = run_program(dir.path(), args);
        std::string read;
        for (size_t at = 0; (at = result.err.find("Reading: ", at)) != std::string::npos;) {
            const size_t end = result.err.find('\n', at);
            read += result.err.substr(at + 9, end - at - 9) + " ";
            at = end;
        }
        EXPECT_EQ(read, logs) << args[1] << ": " << result.err;
        EXPECT_EQ(result.status, status) << args[1];
        // Refused by name, as everywhere: the patterns that matched nothing.
        EXPECT_EQ(result.err.find("WildCard not Supported!: *.XYZ\nWildCard not Supported!: "
                                  "sub*\\*.log\n") != std::string::npos,
                  status == 2);
    }
}
#endif

}  // namespace
