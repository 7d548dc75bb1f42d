// Messages on a terminal: the Japanese texts in UTF-8 under a UTF-8 locale,
// hints after the messages that need them; the same runs redirected give
// the bytes they always gave, without hints.
#ifndef _WIN32
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/log_texts.h"
#include "support/messages.h"
#include "support/test_files.h"

namespace {

// Runs the built zembra in `directory` with its standard error on a fresh
// pseudo-terminal (raw, so that line ends arrive as written) and LC_ALL set
// to `locale`; returns what the terminal received.
std::string run_on_terminal(const std::string& directory, std::vector<std::string> args,
                            const char* locale) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string slave_name = ptsname(master);
    std::string program = ZEMBRA_BINARY;
    std::vector<char*> argv = {program.data()};
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const int slave = open(slave_name.c_str(), O_RDWR);
        termios mode;
        tcgetattr(slave, &mode);
        cfmakeraw(&mode);
        if (tcsetattr(slave, TCSANOW, &mode) == 0 && dup2(slave, 2) == 2 &&
            freopen("/dev/null", "w", stdout) && chdir(directory.c_str()) == 0 &&
            setenv("LC_ALL", locale, 1) == 0) {
            execv(program.c_str(), argv.data());
        }
        _exit(127);
    }
    std::string received;
    char buffer[4096];
    ssize_t got = 0;
    // Ends with EIO once the child, the only holder of the slave, is gone.
    while ((got = read(master, buffer, sizeof buffer)) > 0) {
        received.append(buffer, static_cast<size_t>(got));
    }
    waitpid(child, nullptr, 0);
    close(master);
    return received;
}

bool has_utf8_locale() {
    const bool found = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    std::setlocale(LC_CTYPE, "C");
    return found;
}

// "Error! 発言ヘッダが不正です\n" in both forms; the room error in Shift_JIS.
const std::string HEADER_ERROR_SJIS =
    "Error! \x94\xad\x8c\xbe\x83\x77\x83\x62\x83\x5f\x82\xaa\x95\x73\x90\xb3\x82\xc5\x82\xb7\n";
const std::string HEADER_ERROR_UTF8 =
    "Error! \xe7\x99\xba\xe8\xa8\x80\xe3\x83\x98\xe3\x83\x83\xe3\x83\x80\xe3\x81\x8c\xe4\xb8\x8d"
    "\xe6\xad\xa3\xe3\x81\xa7\xe3\x81\x99\n";
const std::string ROOM_ERROR_SJIS =
    "Error! \x95\xa1\x90\x94\x82\xcc\x89\xef\x8b\x63\x8e\xba\x83\x8d\x83\x4f\x82\xaa\x8a\xdc"
    "\x82\xdc\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xe6\x82\xa4\x82\xc5\x82\xb7\n";

struct TerminalCase {
    std::vector<std::string> args;
    std::string log;            // written to LOG.TXT
    std::string redirected;     // standard error in a file: the bytes of every run so far
    std::string utf8_terminal;  // on a terminal of a UTF-8 locale
    std::string hint;           // the hint line a terminal of any locale gets
    int hint_after = 0;         // lines before the hint; 0: after all of them
    std::string summary;        // the run's last line on a terminal
    std::string utf8_hint;      // when the hint quotes log text: as a UTF-8 terminal shows it
};

// `text` with `hint` after its first `lines` lines (after all when 0).
std::string with_hint(const std::string& text, const std::string& hint, int lines) {
    size_t at = lines == 0 ? text.size() : 0;
    for (int i = 0; i < lines; ++i) {
        at = text.find('\n', at) + 1;
    }
    return text.substr(0, at) + hint + text.substr(at);
}

// "★" as Shift_JIS and as UTF-8.
const std::string STAR_SJIS = "\x81\x9a";
const std::string STAR_UTF8 = "\xe2\x98\x85";
// "タイトル" as EUC-JP and as UTF-8.
const std::string TITLE_EUC = "\xa5\xbf\xa5\xa4\xa5\xc8\xa5\xeb";
const std::string TITLE_UTF8 = "\xe3\x82\xbf\xe3\x82\xa4\xe3\x83\x88\xe3\x83\xab";

TEST(TerminalMessages, ReadableOnATerminalByteForByteElsewhere) {
    if (!has_utf8_locale()) {
        GTEST_SKIP() << "no C.UTF-8 locale";
    }
    const std::string p1 = pcvan_message("1", "96/05/12", "a");
    const std::string broken = p1 + "#2/9 " + STAR_SJIS + "TITLE\r\nno second line\r\n";
    const std::string line = std::to_string(std::count(p1.begin(), p1.end(), '\n') + 1);
    const std::string header_hint = "  hint: line " + line + ": the header \"#2/9 ";
    const std::string header_hint_end =
        "TITLE\" is not followed by its second line; mend or remove it\n";
    const std::string nifty =
        nifty_message("00001", "96/05/12", "a") + nifty_message("00002", "96/05/13", "b");
    const std::string unsorted = " 0 already in order, 1 left unsorted (1 ";
    const TerminalCase cases[] = {
        {{"-P", "LOG.TXT"},
         broken,
         "Reading: LOG.TXT\n" + HEADER_ERROR_SJIS + "Skip!\n",
         "Reading: LOG.TXT\n" + HEADER_ERROR_UTF8 + "Skip!\n",
         header_hint + STAR_SJIS + header_hint_end,
         2,
         "1 log: 0 sorted," + unsorted + "header error)\n",
         header_hint + STAR_UTF8 + header_hint_end},
        // An escape sequence in a log never reaches the terminal.
        {{"-P", "LOG.TXT"},
         p1 + "#2/9 \x1b]0;title\x07\r\nno second line\r\n",
         "Reading: LOG.TXT\n" + HEADER_ERROR_SJIS + "Skip!\n",
         "Reading: LOG.TXT\n" + HEADER_ERROR_UTF8 + "Skip!\n",
         header_hint + "?]0;title?" + header_hint_end.substr(5),
         2,
         "1 log: 0 sorted," + unsorted + "header error)\n",
         ""},
        // An EUC-JP title ("タイトル") pasted into a Shift_JIS log.
        {{"-P", "LOG.TXT"},
         p1 + "#2/9 " + TITLE_EUC + "\r\nno second line\r\n",
         "Reading: LOG.TXT\n" + HEADER_ERROR_SJIS + "Skip!\n",
         "Reading: LOG.TXT\n" + HEADER_ERROR_UTF8 + "Skip!\n",
         header_hint + TITLE_EUC + header_hint_end.substr(5),
         2,
         "1 log: 0 sorted," + unsorted + "header error)\n",
         header_hint + TITLE_UTF8 + header_hint_end.substr(5)},
        {{"-P", "LOG.TXT"},
         nifty,
         "Reading: LOG.TXT\nSkip!\n",
         "Reading: LOG.TXT\nSkip!\n",
         "  hint: no PC-VAN message header, but it reads as a NIFTY SERVE log: try -N\n",
         0,
         "1 log: 0 sorted," + unsorted + "not a log)\n",
         ""},
        {{"-N", "LOG.TXT"},
         "just text\r\n",
         "Reading: LOG.TXT\nSkip!\n",
         "Reading: LOG.TXT\nSkip!\n",
         "  hint: no line is a NIFTY SERVE message header: an empty file, or not a log\n",
         0,
         "1 log: 0 sorted," + unsorted + "not a log)\n",
         ""},
        {{"-N", "--max-messages=1", "LOG.TXT"},
         nifty,
         "Reading: LOG.TXT\nOut of Range![2]...Skip!\n",
         "Reading: LOG.TXT\nOut of Range![2]...Skip!\n",
         "  hint: the log holds more than 1 messages: --max-messages N raises the limit\n",
         0,
         "1 log: 0 sorted," + unsorted + "too many messages)\n",
         ""},
        {{"-N", "x*.log"},
         "",
         "WildCard not Supported!: x*.log\n",
         "WildCard not Supported!: x*.log\n",
         "  hint: no file matches this pattern, so it reached zembra unexpanded\n",
         0,
         "1 log: 0 sorted," + unsorted + "no match)\n",
         ""},
        {{"-N", "*.TXT"},
         nifty,
         "WildCard not Supported!: *.TXT\n",
         "WildCard not Supported!: *.TXT\n",
         "  hint: the shell passed this pattern on unexpanded (quoted?): give it without quotes, "
         "or the names; after -- it is a file name\n",
         0,
         "1 log: 0 sorted," + unsorted + "no match)\n",
         ""},
        {{"-N", "LOG.TXT"},
         nifty,
         "Reading: LOG.TXT\nSorting[2]\n...Writing\n...Finish\n",
         "Reading: LOG.TXT\nSorting[2]\n...Writing\n...Finish\n",
         "  hint: already in order; left as it was\n",
         0,
         "1 log: 0 sorted, 1 already in order\n",
         ""},
        {{"-N", "-h", "LOG.TXT"},
         nifty,
         "Bad Switch: -h\n",
         "Bad Switch: -h\n",
         "  hint: zembra --help lists the options\n",
         0,
         "",
         ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_file(dir.file("LOG.TXT"), c.log);
        const RunResult redirected = run_program(dir.path(), c.args);
        EXPECT_EQ(redirected.err, c.redirected) << printable(redirected.err);
        // The hint follows the line it explains; the summary ends the run.
        const std::string utf8_hint = c.utf8_hint.empty() ? c.hint : c.utf8_hint;
        const std::string utf8 = run_on_terminal(dir.path(), c.args, "C.UTF-8");
        EXPECT_EQ(utf8, with_hint(c.utf8_terminal, utf8_hint, c.hint_after) + c.summary)
            << printable(utf8);
        const std::string plain = run_on_terminal(dir.path(), c.args, "C");
        const std::string expected = with_hint(c.redirected, c.hint, c.hint_after) + c.summary;
        EXPECT_EQ(plain, expected) << printable(plain);
        // --verbose: the same lines into a file.
        std::vector<std::string> verbose = c.args;
        verbose.insert(verbose.begin(), "--verbose");
        EXPECT_EQ(run_program(dir.path(), verbose).err, expected);
        EXPECT_EQ(read_file(dir.file("LOG.TXT")), c.log);
    }
}

// The texts scripts and users read, byte for byte, and where each goes.
struct MessageCase {
    Message message;
    MessageStream stream;
    std::string format;
};

TEST(MessageTexts, ByteForByteOnTheirStreams) {
    const MessageCase cases[] = {
        {MSG_READING, TO_STDERR, "Reading: %s\n"},
        {MSG_SORTING, TO_STDERR, "Sorting[%u]\n"},
        {MSG_WRITING, TO_STDERR, "...Writing\n"},
        {MSG_FINISH, TO_STDERR, "...Finish\n"},
        {MSG_SKIP, TO_STDERR, "Skip!\n"},
        {MSG_SKIP_NAMED, TO_STDERR, "Skip!: %s\n"},
        {MSG_BACKUP_FAILED, TO_STDERR, "BackUp Failed! Skip!\n"},
        {MSG_HEADER_ERROR, TO_STDERR, HEADER_ERROR_SJIS},
        {MSG_ROOM_ERROR, TO_STDERR, ROOM_ERROR_SJIS},
        {MSG_OUT_OF_RANGE, TO_STDERR, "Out of Range![%d]..."},  // the Skip! ends its line
        {MSG_MEMORY_ERROR, TO_STDERR, "Memory Allocate Error!\n"},
        {MSG_FILE_OPEN_ERROR, TO_STDERR, "File Open Error: %s\n"},
        {MSG_FILE_TOO_LARGE, TO_STDERR, "File Too Large!: %s\n"},
        {MSG_DRIVE_NOT_READY, TO_STDERR, "Drive Not Ready!\n"},
        {MSG_WILDCARD, TO_STDERR, "WildCard not Supported!: %s\n"},
        {MSG_BAD_SWITCH, TO_STDERR, "Bad Switch: %s\n"},
        {MSG_VERSION, TO_STDOUT, "zembra %s (%s)\n"},
        {MSG_DUMP_LINE, TO_STDOUT, "#%u %u/%u/%u(%u) %u:%u(%u) [%d]\n"},
        {MSG_CHECK_IN_ORDER, TO_STDOUT, "%s: in order\n"},
        {MSG_CHECK_END, TO_STDOUT, "\n"},
        {MSG_SUMMARY_END, TO_STDERR, "\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MESSAGE_TEXTS[c.message].format, c.format) << printable(c.format);
        EXPECT_EQ(MESSAGE_TEXTS[c.message].stream, c.stream) << printable(c.format);
    }
    // Every message without arguments prints its bytes on its own stream
    // alone; the Japanese ones as Shift_JIS where no terminal shows them.
    for (const MessageText& text : MESSAGE_TEXTS) {
        if (std::string(text.format).find('%') != std::string::npos) {
            continue;
        }
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        print_message_arguments(text.id);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(text.stream == TO_STDOUT ? out : err, text.format) << printable(text.format);
        EXPECT_EQ(text.stream == TO_STDOUT ? err : out, "") << printable(text.format);
    }
}

// A terminal gets the same Japanese words the Shift_JIS bytes say.
TEST(MessageTexts, Utf8FormsSayWhatTheShiftJisSays) {
    int converted = 0;
    for (const MessageText& text : MESSAGE_TEXTS) {
        if (text.utf8 == nullptr) {
            continue;
        }
        char utf8[256];
        if (platform_text_to_utf8(text.format, "CP932", utf8, sizeof utf8) != 0) {
            GTEST_SKIP() << "no Shift_JIS converter";
        }
        EXPECT_STREQ(utf8, text.utf8) << printable(text.format);
        ++converted;
    }
    EXPECT_EQ(converted, 2);
}

}  // namespace

#endif  // _WIN32
