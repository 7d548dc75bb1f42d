// Which Japanese encoding a log's bytes read as: logs are Shift_JIS, and one
// converted to UTF-8 or EUC-JP fails the header patterns for that reason.
#pragma once

#include <cstddef>

enum TextEncoding {
    ENCODING_SHIFT_JIS,  // or plain ASCII, or nothing else recognised
    ENCODING_UTF8,
    ENCODING_EUC_JP,
};

// The first bytes of a log are enough to tell.
constexpr size_t ENCODING_SAMPLE_SIZE = 16 * 1024;

// UTF-8 when the bytes hold a multi-byte UTF-8 character and nothing that is
// not UTF-8 (a character cut by the sample's end aside); EUC-JP when they
// are EUC-JP and hold hiragana or katakana there, or are no Shift_JIS;
// else Shift_JIS.
TextEncoding guess_text_encoding(const char* bytes, size_t length);

// Log text as the terminal of standard error shows it, into `out` (`size`
// bytes, NUL-terminated): on a UTF-8 terminal converted from Shift_JIS, or
// from EUC-JP where it reads so, and left as it is where it already reads
// as UTF-8 (a log in UTF-8); unchanged elsewhere. A character that cannot
// be converted, and a control byte (an escape, say), becomes "?"; a line end
// at the end is left out.
void log_text_for_terminal(const char* text, char* out, size_t size);
