#include "support/messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// A console takes Shift_JIS through platform_write_console; anything else
// takes bytes.
void write_to_terminal(const char* sjis) {
    if (platform_error_terminal() == TERMINAL_CONSOLE) {
        std::fflush(stderr);
        if (platform_write_console(sjis, std::strlen(sjis)) == 0) {
            return;
        }
    }
    std::fputs(sjis, stderr);
}

}  // namespace

// The tool converts only its own texts, never a file name or a log's bytes,
// so the table's second form does instead of a converter.
static void print_own_text(const MessageText& text) {
    const TerminalKind terminal = platform_error_terminal();
    if (terminal == TERMINAL_UTF8) {
        std::fputs(text.utf8, stderr);
    } else if (terminal == TERMINAL_CONSOLE) {
        write_to_terminal(text.format);
    } else {
        std::fputs(text.format, stderr);
    }
}

int report_file_error(const char* what, const char* name) {
    print_message<MSG_FILE_ERROR>(what, name, std::strerror(errno));
    return -1;
}

int report_read_error(const char* path) {
    print_message<MSG_READ_ERROR>(path, std::strerror(errno));
    return -1;
}

int report_write_error(const char* path) {
    print_message<MSG_WRITE_ERROR>(path, std::strerror(errno));
    return -1;
}

void print_message_arguments(int message, ...) {
    const MessageText& text = MESSAGE_TEXTS[message];
    if (text.utf8 != nullptr) {
        print_own_text(text);
        return;
    }
    va_list arguments;
    va_start(arguments, message);
    std::vfprintf(text.stream == TO_STDOUT ? stdout : stderr, text.format, arguments);
    va_end(arguments);
}

// Fixed by the command line before the first message; read by every hint.
static bool hints_wanted = false;

void set_hints_wanted(bool wanted) {
    hints_wanted = wanted;
}

bool hints_shown() {
    return hints_wanted || platform_error_terminal() != TERMINAL_NONE;
}

void print_hint(const char* format, ...) {
    if (!hints_shown()) {
        return;
    }
    char line[512] = "  hint: ";
    const size_t prefix = std::strlen(line);
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, arguments);
    va_end(arguments);
    std::strcat(line, "\n");
    write_to_terminal(line);
}
