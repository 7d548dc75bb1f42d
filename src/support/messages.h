// Every message the program prints, in one table, printed through one
// function; and the hints after a message, for a person at a terminal. The
// tool's own two Japanese texts reach a terminal in a form it shows; standard
// error redirected to a file or a pipe gets every byte as before and no hint.
#pragma once

#include <cstddef>
#include <type_traits>

enum Message {
    MSG_READING,
    MSG_SORTING,
    MSG_WRITING,
    MSG_FINISH,
    MSG_SKIP,
    MSG_SKIP_NAMED,
    MSG_BACKUP_FAILED,
    MSG_HEADER_ERROR,
    MSG_ROOM_ERROR,
    MSG_OUT_OF_RANGE,
    MSG_MEMORY_ERROR,
    MSG_FILE_OPEN_ERROR,
    MSG_FILE_ERROR,
    MSG_READ_ERROR,
    MSG_WRITE_ERROR,
    MSG_FILE_TOO_LARGE,
    MSG_NAME_TOO_LONG,
    MSG_AMBIGUOUS_NAME,
    MSG_BUSY,
    MSG_SIDE_NAMES_TAKEN,
    MSG_FILE_CHANGED,
    MSG_ALREADY_PROCESSED,
    MSG_NO_ROOM,
    MSG_DRIVE_NOT_READY,
    MSG_WILDCARD,
    MSG_BAD_SWITCH,
    MSG_BAD_SWITCH_VALUE,
    MSG_USAGE,
    MSG_HELP,
    MSG_VERSION,
    MSG_DUMP_LINE,
    MSG_CHECK_LISTED,
    MSG_CHECK_IN_ORDER,
    MSG_CHECK_CHANGES,
    MSG_CHECK_BANNER_LINES,
    MSG_CHECK_BANNER_MOVED,
    MSG_CHECK_LEADING_TEXT,
    MSG_CHECK_LINES_CHANGED,
    MSG_CHECK_END,
    MSG_SUMMARY_LOGS,
    MSG_SUMMARY_CHECKED,
    MSG_SUMMARY_SORTED,
    MSG_SUMMARY_BACKUPS,
    MSG_SUMMARY_PROBLEMS,
    MSG_SUMMARY_PROBLEM,
    MSG_SUMMARY_PROBLEMS_END,
    MSG_SUMMARY_END,
    MESSAGE_COUNT
};

enum MessageStream { TO_STDOUT, TO_STDERR };

struct MessageText {
    Message id;
    MessageStream stream;
    // printf's format, as bytes; the Japanese texts are Shift_JIS, the logs'
    // encoding, and carry their UTF-8 form for a terminal that shows it.
    const char* format;
    const char* utf8 = nullptr;
};

// "zembra for PC-VAN & NIFTY SERVE ver1.24(POSIX) - ...": heads the usage
// and the help.
#define ZEMBRA_BANNER "zembra for PC-VAN & NIFTY SERVE ver%s(%s)%s\n"

inline constexpr MessageText MESSAGE_TEXTS[] = {
    {MSG_READING, TO_STDERR, "Reading: %s\n"},
    {MSG_SORTING, TO_STDERR, "Sorting[%u]\n"},
    {MSG_WRITING, TO_STDERR, "...Writing\n"},
    {MSG_FINISH, TO_STDERR, "...Finish\n"},
    // Ends the line of a message that left it open (Out of Range!).
    {MSG_SKIP, TO_STDERR, "Skip!\n"},
    {MSG_SKIP_NAMED, TO_STDERR, "Skip!: %s\n"},
    {MSG_BACKUP_FAILED, TO_STDERR, "BackUp Failed! Skip!\n"},
    // "Error! 発言ヘッダが不正です": the message header is malformed.
    {MSG_HEADER_ERROR, TO_STDERR,
     "Error! \x94\xad\x8c\xbe\x83\x77\x83\x62\x83\x5f\x82\xaa\x95\x73\x90\xb3\x82\xc5\x82\xb7\n",
     "Error! \xe7\x99\xba\xe8\xa8\x80\xe3\x83\x98\xe3\x83\x83\xe3\x83\x80\xe3\x81\x8c\xe4\xb8\x8d"
     "\xe6\xad\xa3\xe3\x81\xa7\xe3\x81\x99\n"},
    // "Error! 複数の会議室ログが含まれているようです": the log seems to
    // hold several conference rooms.
    {MSG_ROOM_ERROR, TO_STDERR,
     "Error! \x95\xa1\x90\x94\x82\xcc\x89\xef\x8b\x63\x8e\xba\x83\x8d\x83\x4f\x82\xaa\x8a\xdc"
     "\x82\xdc\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xe6\x82\xa4\x82\xc5\x82\xb7\n",
     "Error! \xe8\xa4\x87\xe6\x95\xb0\xe3\x81\xae\xe4\xbc\x9a\xe8\xad\xb0\xe5\xae\xa4\xe3\x83\xad"
     "\xe3\x82\xb0\xe3\x81\x8c\xe5\x90\xab\xe3\x81\xbe\xe3\x82\x8c\xe3\x81\xa6\xe3\x81\x84\xe3"
     "\x82\x8b\xe3\x82\x88\xe3\x81\x86\xe3\x81\xa7\xe3\x81\x99\n"},
    // No line end: the caller's MSG_SKIP completes the line.
    {MSG_OUT_OF_RANGE, TO_STDERR, "Out of Range![%d]..."},
    {MSG_MEMORY_ERROR, TO_STDERR, "Memory Allocate Error!\n"},
    {MSG_FILE_OPEN_ERROR, TO_STDERR, "File Open Error: %s\n"},
    // A prefix (or ""), the file, the system's reason.
    {MSG_FILE_ERROR, TO_STDERR, "%s%s: %s\n"},
    {MSG_READ_ERROR, TO_STDERR, "Read Error: %s: %s\n"},
    {MSG_WRITE_ERROR, TO_STDERR, "Write Error: %s: %s\n"},
    // 2 GiB or more, or a message that starts beyond the first 2 GiB.
    {MSG_FILE_TOO_LARGE, TO_STDERR, "File Too Large!: %s\n"},
    {MSG_NAME_TOO_LONG, TO_STDERR, "Name Too Long!: %s\n"},
    {MSG_AMBIGUOUS_NAME, TO_STDERR, "Ambiguous Name!: %s\n"},
    {MSG_BUSY, TO_STDERR, "Busy!: %s\n"},
    {MSG_SIDE_NAMES_TAKEN, TO_STDERR, "Side Names Taken!: %s\n"},
    {MSG_FILE_CHANGED, TO_STDERR, "File Changed!: %s\nSkip!\n"},
    {MSG_ALREADY_PROCESSED, TO_STDERR, "Already Processed!: %s\nSkip!\n"},
    {MSG_NO_ROOM, TO_STDERR, "%s: not enough free space: %ld bytes needed, %llu free\n"},
    {MSG_DRIVE_NOT_READY, TO_STDERR, "Drive Not Ready!\n"},
    {MSG_WILDCARD, TO_STDERR, "WildCard not Supported!: %s\n"},
    {MSG_BAD_SWITCH, TO_STDERR, "Bad Switch: %s\n"},
    {MSG_BAD_SWITCH_VALUE, TO_STDERR, "Bad Switch: %s %s\n"},
    // Version, platform, credit; the program's name.
    {MSG_USAGE, TO_STDERR,
     ZEMBRA_BANNER "Usage : %s <-P|-N> [-B|/B] <File> [<File> ...]\n"
                   "option:  -P|/P PC-VAN\n"
                   "         -N|/N NIFTY SERVE\n"
                   "         -B|/B Not BackUp\n"
                   "         -!|/! Do Not Line Check in PC-VAN Log\n"},
    // Version, platform, credit; the program's name twice.
    {MSG_HELP, TO_STDOUT,
     ZEMBRA_BANNER "Usage: %s [-P|-N] [-B] [-!] [-D] [--check [--list]] [--verbose]\n"
                   "          [--max-messages N] [--] FILE...\n"
                   "Sorts captured PC-VAN and NIFTY SERVE conference-room logs in place by date,\n"
                   "time and message number, writes each repeated message once, and keeps the\n"
                   "previous content as FILE.BAK.\n"
                   "\n"
                   "  -P, -V            the logs are PC-VAN logs\n"
                   "  -N                the logs are NIFTY SERVE logs (the default when the\n"
                   "                    program's name contains \"NIF\", else PC-VAN)\n"
                   "  -B                keep no backup\n"
                   "  -!                PC-VAN: ignore the line counts in the headers\n"
                   "  -D                print one line per indexed message on standard output\n"
                   "  --check           change nothing: say for each log whether it is in order\n"
                   "                    or what a run would change (on standard output)\n"
                   "  --list            with --check: print only the names of the logs that\n"
                   "                    would change, one per line\n"
                   "  --verbose         the reasons (hint: lines) and the summary line also\n"
                   "                    when standard error is a file or a pipe\n"
                   "  --max-messages N  allow logs of up to N messages instead of 3000 (also =N)\n"
                   "  --                end the options: every later argument is a file name\n"
                   "  --help            print this help\n"
                   "  --version         print the version\n"
                   "Switch letters come before the file names and may be combined (-NB); on\n"
                   "Windows they may also begin with \"/\". Long options count wherever they\n"
                   "stand before --. Letter case does not matter.\n"
                   "\n"
                   "Exit status:\n"
                   "  0  every file was sorted, already in order, or a .BAK file skipped\n"
                   "  1  usage, a bad switch, or no memory for the message table: nothing done\n"
                   "  2  some file was left unsorted by a problem (missing, unreadable, not a\n"
                   "     log, bad header, too many messages, busy, no room, backup failed,\n"
                   "     changed while read, write error) or a wildcard matched nothing; the\n"
                   "     rest were done\n"
                   "  3  --check: some log would change (2 wins over 3)\n"
                   "\n"
                   "Example:\n"
                   "  %s -N --check --list -- *.LOG\n"},
    {MSG_VERSION, TO_STDOUT, "zembra %s (%s)\n"},
    // -D: number, year/month/day(date key), hour:minute(time key), line count.
    {MSG_DUMP_LINE, TO_STDOUT, "#%u %u/%u/%u(%u) %u:%u(%u) [%d]\n"},
    {MSG_CHECK_LISTED, TO_STDOUT, "%s\n"},
    {MSG_CHECK_IN_ORDER, TO_STDOUT, "%s: in order\n"},
    // The changes --check reports, on one line ended by MSG_CHECK_END.
    {MSG_CHECK_CHANGES, TO_STDOUT, "%s: would change: %d moved, %d repeat%s dropped"},
    {MSG_CHECK_BANNER_LINES, TO_STDOUT, ", %d banner line%s dropped"},
    {MSG_CHECK_BANNER_MOVED, TO_STDOUT, ", banner line moved to the head"},
    {MSG_CHECK_LEADING_TEXT, TO_STDOUT, ", text before the first message dropped"},
    {MSG_CHECK_LINES_CHANGED, TO_STDOUT, ", lines outside the messages dropped or ended"},
    {MSG_CHECK_END, TO_STDOUT, "\n"},
    // The summary line, in pieces: what became of the logs.
    {MSG_SUMMARY_LOGS, TO_STDERR, "%d log%s: "},
    {MSG_SUMMARY_CHECKED, TO_STDERR, "%d would change, %d in order"},
    {MSG_SUMMARY_SORTED, TO_STDERR, "%d sorted, %d already in order"},
    {MSG_SUMMARY_BACKUPS, TO_STDERR, ", %d .BAK skipped"},
    {MSG_SUMMARY_PROBLEMS, TO_STDERR, ", %d left %s ("},
    {MSG_SUMMARY_PROBLEM, TO_STDERR, "%s%d %s"},
    {MSG_SUMMARY_PROBLEMS_END, TO_STDERR, ")"},
    {MSG_SUMMARY_END, TO_STDERR, "\n"},
};

#undef ZEMBRA_BANNER

// Whether every entry stands at the place of its id.
consteval bool message_texts_in_order() {
    int i = 0;
    for (const MessageText& text : MESSAGE_TEXTS) {
        if (text.id != i++) {
            return false;
        }
    }
    return i == MESSAGE_COUNT;
}
static_assert(message_texts_in_order(), "MESSAGE_TEXTS lists every Message in its order");

// The printf conversion (length modifier and letter) that takes a T.
template <typename T>
consteval const char* conversion_for() {
    if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) {
        return "s";
    } else if constexpr (std::is_same_v<T, int>) {
        return "d";
    } else if constexpr (std::is_same_v<T, unsigned>) {
        return "u";
    } else if constexpr (std::is_same_v<T, long>) {
        return "ld";
    } else if constexpr (std::is_same_v<T, unsigned long long>) {
        return "llu";
    } else {
        return "";  // no message takes it
    }
}

// Whether `format`'s conversions are `wanted`, in order: what -Wformat checks
// of a literal format, here for a format from the table.
consteval bool conversions_are(const char* format, const char* const* wanted, size_t count) {
    size_t used = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        if (*++p == '%') {
            continue;
        }
        if (used == count) {
            return false;
        }
        const char* w = wanted[used++];
        while (*w != '\0' && *w == *p) {
            ++w;
            ++p;
        }
        if (*w != '\0') {
            return false;
        }
        --p;
        // The conversion must end where the wanted one does.
        const char last = *p;
        if (last != 's' && last != 'd' && last != 'u') {
            return false;
        }
    }
    return used == count;
}

template <typename... Arguments>
consteval bool message_takes(Message message) {
    const char* const wanted[] = {conversion_for<Arguments>()..., ""};
    return conversions_are(MESSAGE_TEXTS[message].format, wanted, sizeof...(Arguments));
}

// Prints the message with its arguments; they are checked against its
// format when the program is compiled.
void print_message_arguments(int message, ...);

template <Message M, typename... Arguments>
void print_message(Arguments... arguments) {
    static_assert(message_takes<Arguments...>(M), "the arguments do not fit the message's format");
    print_message_arguments(M, arguments...);
}

// The one error line: `what` (a prefix, or ""), the file's name, ": " and
// errno's text; returns -1.
int report_file_error(const char* what, const char* name);
// The same line after "Read Error: " and "Write Error: "; returns -1.
int report_read_error(const char* path);
int report_write_error(const char* path);

#if defined(__MINGW_PRINTF_FORMAT)
#define ZEMBRA_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define ZEMBRA_PRINTF_FORMAT printf
#endif

// One indented line, "  hint: " and the formatted text, after a message that
// alone does not say why or what to do. Written when standard error is a
// terminal, or when asked for (--verbose); never otherwise into a file or a
// pipe where a script reads the messages.
void print_hint(const char* format, ...) __attribute__((format(ZEMBRA_PRINTF_FORMAT, 1, 2)));
// Whether print_hint writes anything: lets a caller skip the work a hint needs.
bool hints_shown();
// --verbose: hints also into a file or a pipe. Set once, before any message.
void set_hints_wanted(bool wanted);
