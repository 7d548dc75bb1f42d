// Messages for a person at a terminal: the tool's own two Japanese texts in a
// form the terminal shows, and hints after a message. Standard error
// redirected to a file or a pipe gets every byte as before and no hint.
#pragma once

enum OwnText {
    TEXT_HEADER_ERROR,  // "Error! 発言ヘッダが不正です"
    TEXT_ROOM_ERROR,    // "Error! 複数の会議室ログが含まれているようです"
};

// The Shift_JIS bytes of a text, line end included: what a file or pipe gets.
const char* own_text_bytes(OwnText text);
// Writes the text and its line end on standard error: UTF-8 on a terminal of
// a UTF-8 locale, through the console on Windows, else the Shift_JIS bytes.
void print_own_text(OwnText text);

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
