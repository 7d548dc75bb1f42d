#include "driver/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/log_pipeline.h"
#include "driver/log_rewrite.h"
#include "logindex/log_format.h"
#include "logindex/run_options.h"
#include "platform/platform.h"
#include "support/sjis_string.h"

namespace {

constexpr const char VERSION[] = "1.24";
constexpr const char CREDIT_NOTICE[] = " - sorts BBS conference-room logs";
// Used when the platform hands over no path of the executable at all.
constexpr const char DEFAULT_PROGRAM_NAME[] = "zembra";

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

// Distinct from 1, which stays with the usage and switch errors.
constexpr int EXIT_SOME_FILE_LEFT = 2;

bool asks_for_usage(const char* argument) {
    return is_switch_mark(argument[0]) && argument[1] == '?';
}

bool has_wildcard(const char* argument) {
    return sjis_strchr(argument, '*') != nullptr || sjis_strchr(argument, '?') != nullptr;
}

// True when every file argument was sorted or needed nothing.
bool process_file_arguments(int first, int argc, char** argv, MessageIndex index) {
    platform_start_run();
    forget_processed_files();
    bool all_done = true;
    for (int i = first; i < argc; ++i) {
        if (has_wildcard(argv[i])) {
            std::fprintf(stderr, "WildCard not Supported!: %s\n", argv[i]);
            all_done = false;
            continue;
        }
        all_done = process_log_file(argv[i], index) == 0 && all_done;
    }
    forget_processed_files();
    return all_done;
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
        if (apply_switch_argument(argv[next]) != 0) {
            std::fprintf(stderr, "Bad Switch: %s\n", argv[next]);
            std::free(program_name);
            return 1;
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
    const bool all_done = process_file_arguments(next, argc, argv, index);
    std::free(program_name);
    std::free(index);
    // A script must see that some log was left unsorted.
    return all_done ? 0 : EXIT_SOME_FILE_LEFT;
}
