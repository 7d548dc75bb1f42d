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
int apply_switch(char letter, RunOptions* options) {
    switch (letter) {
        case 'P':
        case 'V':
            options->service = SERVICE_PCVAN;
            return 0;
        case 'N':
            options->service = SERVICE_NIFTY;
            return 0;
        case 'B':
            options->make_backup = 0;
            return 0;
        case '!':
            options->line_check = 0;
            return 0;
        case 'D':
            options->debug_dump = 1;
            return 0;
        default:
            return -1;
    }
}

// The characters after the switch mark; only the first one is a mark, so a
// second "-" or "/" is an unknown switch.
int apply_switch_argument(const char* argument, RunOptions* options) {
    for (const char* p = argument + 1; *p != '\0'; ++p) {
        if (apply_switch(static_cast<char>(ascii_upper(static_cast<unsigned char>(*p))), options) !=
            0) {
            return -1;
        }
    }
    return 0;
}

// --max-messages=N with N a plain decimal from 1 to MAX_MESSAGES_LIMIT.
int apply_max_messages(const char* value, RunOptions* options) {
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
    options->max_messages = static_cast<int>(limit);
    return 0;
}

enum LongOption { OPTION_SET, OPTION_HELP, OPTION_VERSION, OPTION_BAD };

// Long options are read ignoring ASCII letter case, as switch letters are
// (--CHECK is --check).
bool same_option(const char* argument, const char* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (ascii_lower(static_cast<unsigned char>(argument[i])) !=
            static_cast<unsigned char>(name[i])) {
            return false;
        }
    }
    return true;
}

bool is_option(const char* argument, const char* name) {
    const size_t length = std::strlen(name);
    return std::strlen(argument) == length && same_option(argument, name, length);
}

// --max-messages=N, or --max-messages N with N the next argument, which it
// then takes (*used is 1).
LongOption apply_max_messages_option(const char* argument, const char* next, int* used,
                                     RunOptions* options) {
    constexpr char MAX_MESSAGES[] = "--max-messages";
    constexpr size_t LENGTH = sizeof MAX_MESSAGES - 1;
    if (is_option(argument, MAX_MESSAGES)) {
        *used = 1;
        return next != nullptr && apply_max_messages(next, options) == 0 ? OPTION_SET : OPTION_BAD;
    }
    if (same_option(argument, MAX_MESSAGES, LENGTH) && argument[LENGTH] == '=') {
        return apply_max_messages(argument + LENGTH + 1, options) == 0 ? OPTION_SET : OPTION_BAD;
    }
    return OPTION_BAD;
}

// An argument that begins with "--" and says more; `next` is the argument
// after it (null for none), taken by an option that needs a value.
LongOption apply_long_option(const char* argument, const char* next, int* used,
                             RunOptions* options) {
    *used = 0;
    if (is_option(argument, "--help")) {
        return OPTION_HELP;
    }
    if (is_option(argument, "--version")) {
        return OPTION_VERSION;
    }
    if (is_option(argument, "--check")) {
        options->check_only = 1;
        return OPTION_SET;
    }
    if (is_option(argument, "--list")) {
        options->check_only = 1;
        options->list_only = 1;
        return OPTION_SET;
    }
    if (is_option(argument, "--verbose")) {
        return OPTION_SET;  // taken before anything else is read
    }
    return apply_max_messages_option(argument, next, used, options);
}

bool is_long_option(const char* argument) {
    return argument[0] == '-' && argument[1] == '-';
}

void print_help(const char* program_name) {
    print_message<MSG_HELP>(VERSION, PLATFORM_WORD, CREDIT_NOTICE, program_name, program_name);
}

void print_version() {
    print_message<MSG_VERSION>(VERSION, PLATFORM_WORD);
}

bool asks_for_usage(const char* argument) {
    return is_switch_mark(argument[0]) && argument[1] == '?';
}

bool has_wildcard(const char* argument) {
    return sjis_strchr(argument, '*') != nullptr || sjis_strchr(argument, '?') != nullptr;
}

// Names ignoring letter case, as NTFS orders them and dir lists them
// (B.LOG before a.log would surprise); bytes decide between spellings.
int compare_names(const void* a, const void* b) {
    const char* x = *static_cast<const char* const*>(a);
    const char* y = *static_cast<const char* const*>(b);
    char upper_x[NAME_BUFFER_SIZE];
    char upper_y[NAME_BUFFER_SIZE];
    std::snprintf(upper_x, sizeof upper_x, "%s", x);
    std::snprintf(upper_y, sizeof upper_y, "%s", y);
    platform_upper_case_name(upper_x);
    platform_upper_case_name(upper_y);
    const int folded = std::strcmp(upper_x, upper_y);
    return folded != 0 ? folded : std::strcmp(x, y);
}

// What became of the file arguments so far, for the summary and the status.
struct RunTally {
    int outcomes[LOG_OUTCOME_COUNT];
    int logs;
};

void count_outcome(RunTally* tally, LogOutcome outcome) {
    ++tally->outcomes[outcome];
    ++tally->logs;
}

// What the logs of one command line share: its settings, the one index,
// the backups made so far and what became of each file argument.
struct CommandLineRun {
    const RunOptions* options;
    IndexedLog* indexed;
    BackupsMade made;
    RunTally tally;
};

void process_one_log(CommandLineRun* run, const char* name) {
    count_outcome(&run->tally, process_log_file(name, *run->options, run->indexed, &run->made));
}

// The files `count` NUL-separated `names` name, in the order of their names.
int process_expanded_names(char* names, int count, CommandLineRun* run) {
    auto* list = static_cast<char**>(std::malloc(static_cast<size_t>(count) * sizeof(char*)));
    if (list == nullptr) {
        print_message<MSG_MEMORY_ERROR>();
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        list[i] = names;
        names += std::strlen(names) + 1;
    }
    std::qsort(list, static_cast<size_t>(count), sizeof(char*), compare_names);
    for (int i = 0; i < count; ++i) {
        process_one_log(run, list[i]);
    }
    std::free(list);
    return 0;
}

// Where the shell leaves patterns to the program (Windows), the files a
// pattern matches are processed; a pattern that matches nothing is refused
// by name, as everywhere. Where the shell expands patterns, one that reaches
// zembra was quoted, or matched nothing.
void process_pattern(const char* pattern, CommandLineRun* run) {
    char* names = nullptr;
    const int count = platform_expand_pattern(pattern, &names);
    if (count > 0) {
        if (process_expanded_names(names, count, run) != 0) {
            count_outcome(&run->tally, LOG_NO_MATCH);
        }
        std::free(names);
        return;
    }
    print_message<MSG_WILDCARD>(pattern);
    if (platform_pattern_matches(pattern) == 1) {
        print_hint(
            "the shell passed this pattern on unexpanded (quoted?): give it without "
            "quotes, or the names; after -- it is a file name");
    } else {
        print_hint("no file matches this pattern, so it reached zembra unexpanded");
    }
    count_outcome(&run->tally, LOG_NO_MATCH);
}

// How the summary calls each outcome that is a problem.
constexpr const char* PROBLEM_LABELS[LOG_OUTCOME_COUNT] = {
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "missing",
    "name refused",
    "too large",
    "not enough free space",
    "Drive Not Ready!",
    "Busy!",
    "unreadable",
    "not a log",
    "too many messages",
    "header error",
    "BackUp Failed!",
    "File Changed!",
    "Already Processed!",
    "read or write error",
    "no match",
};

// "2000 logs: 1990 sorted, 6 already in order, 4 left unsorted (3 Busy!, 1
// header error)": one line after the last file, for a person.
void print_summary(const RunTally& tally, bool check) {
    const int* counts = tally.outcomes;
    print_message<MSG_SUMMARY_LOGS>(tally.logs, tally.logs == 1 ? "" : "s");
    if (check) {
        print_message<MSG_SUMMARY_CHECKED>(counts[LOG_WOULD_CHANGE], counts[LOG_IN_ORDER]);
    } else {
        print_message<MSG_SUMMARY_SORTED>(counts[LOG_SORTED], counts[LOG_IN_ORDER]);
    }
    if (counts[LOG_BACKUP_SKIPPED] > 0) {
        print_message<MSG_SUMMARY_BACKUPS>(counts[LOG_BACKUP_SKIPPED]);
    }
    int problems = 0;
    for (int i = FIRST_PROBLEM; i < LOG_OUTCOME_COUNT; ++i) {
        problems += counts[i];
    }
    if (problems > 0) {
        print_message<MSG_SUMMARY_PROBLEMS>(problems, check ? "unchecked" : "unsorted");
        const char* separator = "";
        for (int i = FIRST_PROBLEM; i < LOG_OUTCOME_COUNT; ++i) {
            if (counts[i] > 0) {
                print_message<MSG_SUMMARY_PROBLEM>(separator, counts[i], PROBLEM_LABELS[i]);
                separator = ", ";
            }
        }
        print_message<MSG_SUMMARY_PROBLEMS_END>();
    }
    print_message<MSG_SUMMARY_END>();
}

// One file argument of the command line; after "--" a name is a name even
// with "*" or "?" in it.
struct FileArgument {
    const char* name;
    bool literal;
};

// The exit status of the file arguments: 0, STATUS_FILE_PROBLEM or
// STATUS_WOULD_CHANGE.
int process_file_arguments(const FileArgument* files, int count, const RunOptions& options,
                           IndexedLog* indexed, bool summary) {
    platform_start_run();
    CommandLineRun run = {&options, indexed, {}, {}};
    for (int i = 0; i < count; ++i) {
        if (!files[i].literal && has_wildcard(files[i].name)) {
            process_pattern(files[i].name, &run);
        } else {
            process_one_log(&run, files[i].name);
        }
    }
    forget_backups_made(&run.made);
    const RunTally& tally = run.tally;
    if (summary && tally.logs > 0) {
        print_summary(tally, options.check_only != 0);
    }
    for (int i = FIRST_PROBLEM; i < LOG_OUTCOME_COUNT; ++i) {
        if (tally.outcomes[i] > 0) {
            return STATUS_FILE_PROBLEM;
        }
    }
    return tally.outcomes[LOG_WOULD_CHANGE] > 0 ? STATUS_WOULD_CHANGE : 0;
}

// --verbose counts from the start, so that a bad switch before it gets its
// hint too.
bool asks_for_verbose(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (is_option(argv[i], "--verbose")) {
            return true;
        }
    }
    return false;
}

enum CommandLineResult { COMMAND_RUN, COMMAND_HELP, COMMAND_VERSION, COMMAND_BAD };

// Reads the switches and collects the file arguments into `files` (room for
// argc). Switch letters follow the original rule: after the first file name
// an argument that begins with "-" is a file name. Long options are options
// wherever they stand before "--", so that "--check" typed last still keeps
// every log as it is. On a bad switch *bad is the argument, and *value the
// one after it when the option took it.
CommandLineResult read_command_line(int argc, char** argv, RunOptions* options, FileArgument* files,
                                    int* count, const char** bad, const char** value) {
    bool names_begun = false;
    bool after_dashes = false;
    *count = 0;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (after_dashes || (names_begun && !is_long_option(argument)) ||
            !is_switch_mark(argument[0])) {
            files[(*count)++] = {argument, after_dashes};
            names_begun = true;
            continue;
        }
        if (std::strcmp(argument, "--") == 0) {
            after_dashes = true;
            continue;
        }
        LongOption option = OPTION_SET;
        if (is_long_option(argument)) {
            int used = 0;
            option =
                apply_long_option(argument, i + 1 < argc ? argv[i + 1] : nullptr, &used, options);
            *value = used == 1 && i + 1 < argc ? argv[i + 1] : nullptr;
            i += option == OPTION_SET ? used : 0;
        } else if (apply_switch_argument(argument, options) != 0) {
            option = OPTION_BAD;
        }
        if (option != OPTION_SET) {
            *bad = argument;
            return option == OPTION_HELP      ? COMMAND_HELP
                   : option == OPTION_VERSION ? COMMAND_VERSION
                                              : COMMAND_BAD;
        }
    }
    return COMMAND_RUN;
}

// Help, version or a bad switch: what it prints, and the exit status.
int finish_without_files(CommandLineResult result, const char* argument, const char* value,
                         const char* program_name) {
    if (result == COMMAND_HELP) {
        print_help(program_name);
        return 0;
    }
    if (result == COMMAND_VERSION) {
        print_version();
        return 0;
    }
    if (value != nullptr) {
        print_message<MSG_BAD_SWITCH_VALUE>(argument, value);
    } else {
        print_message<MSG_BAD_SWITCH>(argument);
    }
    print_hint("zembra --help lists the options");
    return 1;
}

}  // namespace

void print_usage(const char* program_name) {
    print_message<MSG_USAGE>(VERSION, PLATFORM_WORD, CREDIT_NOTICE, program_name);
}

int detect_service_from_name(char* program_name) {
    sjis_strupr(program_name);
    return std::strstr(program_name, "NIF") != nullptr ? SERVICE_NIFTY : SERVICE_PCVAN;
}

int run_zembra(int argc, char** argv, RunOptions* settings) {
    *settings = INITIAL_RUN_OPTIONS;
    char* program_name = copy_program_name(argc > 0 ? argv[0] : nullptr);
    if (program_name == nullptr) {
        print_message<MSG_MEMORY_ERROR>();
        return 1;
    }
    if (argc < 2 || asks_for_usage(argv[1])) {
        print_usage(program_name);
        std::free(program_name);
        return 1;
    }
    const bool verbose = asks_for_verbose(argc, argv);
    set_hints_wanted(verbose);
    auto* files =
        static_cast<FileArgument*>(std::malloc(static_cast<size_t>(argc) * sizeof(FileArgument)));
    if (files == nullptr) {
        print_message<MSG_MEMORY_ERROR>();
        std::free(program_name);
        return 1;
    }
    int count = 0;
    const char* argument = nullptr;
    const char* value = nullptr;
    const CommandLineResult result =
        read_command_line(argc, argv, settings, files, &count, &argument, &value);
    IndexedLog* indexed = result == COMMAND_RUN ? create_indexed_log() : nullptr;
    int status = 0;
    if (result != COMMAND_RUN) {
        status = finish_without_files(result, argument, value, program_name);
    } else if (indexed == nullptr) {
        print_message<MSG_MEMORY_ERROR>();
        status = 1;
    } else {
        if (settings->service == -1) {
            settings->service = detect_service_from_name(program_name);
        }
        // The list is for a script: the summary only when asked for.
        const bool summary = hints_shown() && (settings->list_only == 0 || verbose);
        status = process_file_arguments(files, count, *settings, indexed, summary);
    }
    std::free(files);
    std::free(program_name);
    destroy_indexed_log(indexed);
    return status;
}
