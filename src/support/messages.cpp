#include "support/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

struct OwnTextForms {
    const char* sjis;
    const char* utf8;
};

// The tool converts only these texts of its own, never a file name or a
// log's bytes, so a table of both forms does instead of a converter.
const OwnTextForms OWN_TEXTS[] = {
    // "Error! 発言ヘッダが不正です\n"
    {"Error! \x94\xad\x8c\xbe\x83\x77\x83\x62\x83\x5f\x82\xaa\x95\x73\x90\xb3\x82\xc5\x82\xb7\n",
     "Error! \xe7\x99\xba\xe8\xa8\x80\xe3\x83\x98\xe3\x83\x83\xe3\x83\x80\xe3\x81\x8c\xe4\xb8\x8d"
     "\xe6\xad\xa3\xe3\x81\xa7\xe3\x81\x99\n"},
    // "Error! 複数の会議室ログが含まれているようです\n"
    {"Error! \x95\xa1\x90\x94\x82\xcc\x89\xef\x8b\x63\x8e\xba\x83\x8d\x83\x4f\x82\xaa\x8a\xdc"
     "\x82\xdc\x82\xea\x82\xc4\x82\xa2\x82\xe9\x82\xe6\x82\xa4\x82\xc5\x82\xb7\n",
     "Error! \xe8\xa4\x87\xe6\x95\xb0\xe3\x81\xae\xe4\xbc\x9a\xe8\xad\xb0\xe5\xae\xa4\xe3\x83\xad"
     "\xe3\x82\xb0\xe3\x81\x8c\xe5\x90\xab\xe3\x81\xbe\xe3\x82\x8c\xe3\x81\xa6\xe3\x81\x84\xe3"
     "\x82\x8b\xe3\x82\x88\xe3\x81\x86\xe3\x81\xa7\xe3\x81\x99\n"},
};

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

const char* own_text_bytes(OwnText text) {
    return OWN_TEXTS[text].sjis;
}

void print_own_text(OwnText text) {
    const TerminalKind terminal = platform_error_terminal();
    if (terminal == TERMINAL_UTF8) {
        std::fputs(OWN_TEXTS[text].utf8, stderr);
    } else if (terminal == TERMINAL_CONSOLE) {
        write_to_terminal(OWN_TEXTS[text].sjis);
    } else {
        std::fputs(OWN_TEXTS[text].sjis, stderr);
    }
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
