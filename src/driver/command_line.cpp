#include "driver/command_line.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/log_check.h"
#include "driver/log_pipeline.h"
#include "driver/log_rewrite.h"
#include "logindex/log_format.h"
#include "logindex/log_indexer.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/messages.h"
#include "support/sjis_string.h"

namespace {

constexpr const char VERSION[] = "1.24";
constexpr const char CREDIT_NOTICE[] = " - sorts BBS conference-room logs";
// Used when the platform hands over no path of the executable at all.
constexpr const char DEFAULT_PROGRAM_NAME[] = "zembra";

// Exit statuses beyond the 0 and 1 of the usage and switch errors.
constexpr int STATUS_FILE_PROBLEM = 2;  // a file argument was left unsorted by a problem
constexpr int STATUS_WOULD_CHANGE = 3;  // --check: some log is not in order
// Offsets are 32-bit and an entry is 20 bytes: no log can hold more.
constexpr long MAX_MESSAGES_LIMIT = INT32_MAX / 20;

constexpr const char HELP_TEXT[] =
    "Usage: %s [-P|-N] [-B] [-!] [-D] [--check] [--max-messages=N] [--] FILE...\n"
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
    "  --max-messages=N  allow logs of up to N messages instead of 3000\n"
    "  --                end the switches: every later argument is a file name\n"
    "  --help            print this help\n"
    "  --version         print the version\n"
    "Switches come before the file names and may be combined (-NB); on Windows\n"
    "they may also begin with \"/\".\n"
    "\n"
    "Exit status:\n"
    "  0  every file was sorted, already in order, or a .BAK file skipped\n"
    "  1  usage, a bad switch, or no memory for the message table: nothing done\n"
    "  2  some file was left unsorted by a problem (missing, unreadable, not a\n"
    "     log, bad header, too many messages, busy, backup failed, changed while\n"
    "     read, write error) or a wildcard matched nothing; the rest were done\n"
    "  3  --check: some log would change (2 wins over 3)\n"
    "\n"
    "Example:\n"
    "  %s -N --check -- *.LOG && echo all in order\n";

bool is_switch_mark(char c) {
    return c != '\0' && std::strchr(SWITCH_MARKS, c) != nullptr;
}

// The part of the executable's path after its last backslash or slash; a
// double-byte character ending in 0x5C is not a separator.
char* copy_program_name(const char* path) {
    if (path == nullptr) {
        path = DEFAULT_PROGRAM_NAME;
    }
    const char* name = path;
    const char* backslash = sjis_strrchr(path, '\\');
    const char* slash = sjis_strrchr(path, '/');
    if (backslash != nullptr) {
        name = backslash + 1;
    }
    if (slash != nullptr && slash + 1 > name) {
        name = slash + 1;
    }
    char* copy = static_cast<char*>(std::malloc(std::strlen(name) + 1));
    return copy != nullptr ? copy_string(copy, name) : nullptr;
}

// One switch character, already upper-cased. -1 for an unknown one.
int apply_switch(char letter) {
    switch (letter) {
        case 'P':
        case 'V':
            run_options.service = SERVICE_PCVAN;
            return 0;
        case 'N':
            run_options.service = SERVICE_NIFTY;
            return 0;
        case 'B':
            run_options.make_backup = 0;
            return 0;
        case '!':
            run_options.line_check = 0;
            return 0;
        case 'D':
            run_options.debug_dump = 1;
            return 0;
        default:
            return -1;
    }
}

// The characters after the switch mark; only the first one is a mark, so a
// second "-" or "/" is an unknown switch.
int apply_switch_argument(const char* argument) {
    for (const char* p = argument + 1; *p != '\0'; ++p) {
        char letter = *p;
        if (letter >= 'a' && letter <= 'z') {
            letter = static_cast<char>(letter & ~0x20);
        }
        if (apply_switch(letter) != 0) {
            return -1;
        }
    }
    return 0;
}

// --max-messages=N with N a plain decimal from 1 to MAX_MESSAGES_LIMIT.
int apply_max_messages(const char* value) {
    long limit = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || limit > MAX_MESSAGES_LIMIT) {
            return -1;
        }
        limit = limit * 10 + (*p - '0');
    }
    if (limit < 1 || limit > MAX_MESSAGES_LIMIT) {
        return -1;
    }
    run_options.max_messages = static_cast<int>(limit);
    return 0;
}

enum LongOption { OPTION_SET, OPTION_HELP, OPTION_VERSION, OPTION_BAD };

// An argument that begins with "--" and says more.
LongOption apply_long_option(const char* argument) {
    constexpr char MAX_MESSAGES[] = "--max-messages=";
    if (std::strcmp(argument, "--help") == 0) {
        return OPTION_HELP;
    }
    if (std::strcmp(argument, "--version") == 0) {
        return OPTION_VERSION;
    }
    if (std::strcmp(argument, "--check") == 0) {
        run_options.check_only = 1;
        return OPTION_SET;
    }
    if (std::strncmp(argument, MAX_MESSAGES, sizeof MAX_MESSAGES - 1) == 0) {
        return apply_max_messages(argument + sizeof MAX_MESSAGES - 1) == 0 ? OPTION_SET
                                                                           : OPTION_BAD;
    }
    return OPTION_BAD;
}

bool is_long_option(const char* argument) {
    return argument[0] == '-' && argument[1] == '-';
}

void print_help(const char* program_name) {
    std::printf("zembra for PC-VAN & NIFTY SERVE ver%s(%s)%s\n", VERSION, PLATFORM_WORD,
                CREDIT_NOTICE);
    std::printf(HELP_TEXT, program_name, program_name);
}

void print_version() {
    std::printf("zembra %s (%s)\n", VERSION, PLATFORM_WORD);
}

bool asks_for_usage(const char* argument) {
    return is_switch_mark(argument[0]) && argument[1] == '?';
}

bool has_wildcard(const char* argument) {
    return sjis_strchr(argument, '*') != nullptr || sjis_strchr(argument, '?') != nullptr;
}

int compare_names(const void* a, const void* b) {
    return std::strcmp(*static_cast<const char* const*>(a), *static_cast<const char* const*>(b));
}

// The files `count` NUL-separated `names` name, in the order of their names.
int process_expanded_names(char* names, int count, MessageIndex index) {
    auto* list = static_cast<char**>(std::malloc(static_cast<size_t>(count) * sizeof(char*)));
    if (list == nullptr) {
        std::fprintf(stderr, "Memory Allocate Error!\n");
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        list[i] = names;
        names += std::strlen(names) + 1;
    }
    std::qsort(list, static_cast<size_t>(count), sizeof(char*), compare_names);
    int result = 0;
    for (int i = 0; i < count; ++i) {
        result |= process_log_file(list[i], index);
    }
    std::free(list);
    return result;
}

// Where the shell leaves patterns to the program (Windows), the files a
// pattern matches are processed; a pattern that matches nothing is refused
// by name, as everywhere.
int process_pattern(const char* pattern, MessageIndex index) {
    char* names = nullptr;
    const int count = platform_expand_pattern(pattern, &names);
    if (count <= 0) {
        std::fprintf(stderr, "WildCard not Supported!: %s\n", pattern);
        print_hint("no file matches this pattern, so it reached zembra unexpanded");
        return -1;
    }
    const int result = process_expanded_names(names, count, index);
    std::free(names);
    return result;
}

// The exit status of the file arguments: 0, STATUS_FILE_PROBLEM or
// STATUS_WOULD_CHANGE.
int process_file_arguments(int first, int argc, char** argv, MessageIndex index) {
    platform_start_run();
    forget_processed_files();
    logs_that_would_change = 0;
    int problems = 0;
    for (int i = first; i < argc; ++i) {
        const int result = has_wildcard(argv[i]) ? process_pattern(argv[i], index)
                                                 : process_log_file(argv[i], index);
        problems += result != 0 ? 1 : 0;
    }
    forget_processed_files();
    free_large_index();
    if (problems > 0) {
        return STATUS_FILE_PROBLEM;
    }
    return logs_that_would_change > 0 ? STATUS_WOULD_CHANGE : 0;
}

}  // namespace

void print_usage(const char* program_name) {
    std::fprintf(stderr, "zembra for PC-VAN & NIFTY SERVE ver%s(%s)%s\n", VERSION, PLATFORM_WORD,
                 CREDIT_NOTICE);
    std::fprintf(stderr, "Usage : %s <-P|-N> [-B|/B] <File> [<File> ...]\n", program_name);
    std::fprintf(stderr, "option:  -P|/P PC-VAN\n");
    std::fprintf(stderr, "         -N|/N NIFTY SERVE\n");
    std::fprintf(stderr, "         -B|/B Not BackUp\n");
    std::fprintf(stderr, "         -!|/! Do Not Line Check in PC-VAN Log\n");
}

int detect_service_from_name(char* program_name) {
    sjis_strupr(program_name);
    return std::strstr(program_name, "NIF") != nullptr ? SERVICE_NIFTY : SERVICE_PCVAN;
}

int run_zembra(int argc, char** argv) {
    char* program_name = copy_program_name(argc > 0 ? argv[0] : nullptr);
    if (program_name == nullptr) {
        std::fprintf(stderr, "Memory Allocate Error!\n");
        return 1;
    }
    if (argc < 2 || asks_for_usage(argv[1])) {
        print_usage(program_name);
        std::free(program_name);
        return 1;
    }
    int next = 1;
    for (; next < argc && is_switch_mark(argv[next][0]); ++next) {
        if (std::strcmp(argv[next], "--") == 0) {
            ++next;
            break;
        }
        LongOption option = OPTION_SET;
        if (is_long_option(argv[next])) {
            option = apply_long_option(argv[next]);
        } else if (apply_switch_argument(argv[next]) != 0) {
            option = OPTION_BAD;
        }
        if (option != OPTION_SET) {
            if (option == OPTION_HELP) {
                print_help(program_name);
            } else if (option == OPTION_VERSION) {
                print_version();
            } else {
                std::fprintf(stderr, "Bad Switch: %s\n", argv[next]);
            }
            std::free(program_name);
            return option == OPTION_BAD ? 1 : 0;
        }
    }
    if (run_options.service == -1) {
        run_options.service = detect_service_from_name(program_name);
    }
    MessageIndex index =
        static_cast<MessageIndex>(std::calloc(MAX_INDEX_ENTRIES, sizeof(MessageIndexEntry)));
    if (index == nullptr) {
        std::fprintf(stderr, "Memory Allocate Error!\n");
        std::free(program_name);
        return 1;
    }
    const int status = process_file_arguments(next, argc, argv, index);
    std::free(program_name);
    std::free(index);
    return status;
}
