#include "support/text_encoding.h"

#include <cstdint>
#include <cstring>

#include "match/sjis_bytes.h"
#include "platform/platform.h"

namespace {

// Bytes of the UTF-8 character `lead` begins, or 0 when it begins none.
size_t utf8_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// 1 when the bytes are UTF-8 with a multi-byte character, 0 when they are
// UTF-8 without one (ASCII), -1 when they are no UTF-8.
int read_as_utf8(const unsigned char* bytes, size_t length) {
    bool multibyte = false;
    for (size_t i = 0; i < length;) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        const size_t size = utf8_length(bytes[i]);
        if (size == 0) {
            return -1;
        }
        for (size_t k = 1; k < size && i + k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return -1;
            }
        }
        multibyte = true;
        i += size;
    }
    return multibyte ? 1 : 0;
}

bool is_euc_byte(unsigned char byte) {
    return byte >= 0xA1 && byte <= 0xFE;
}

// 1 when the bytes are EUC-JP with kana (rows 4 and 5), 0 when they are
// EUC-JP without, -1 when they are no EUC-JP.
int read_as_euc(const unsigned char* bytes, size_t length) {
    bool kana = false;
    for (size_t i = 0; i < length;) {
        const unsigned char byte = bytes[i];
        if (byte < 0x80) {
            ++i;
            continue;
        }
        const size_t size = byte == 0x8F ? 3 : 2;
        if (byte != 0x8E && byte != 0x8F && !is_euc_byte(byte)) {
            return -1;
        }
        for (size_t k = 1; k < size && i + k < length; ++k) {
            if (!is_euc_byte(bytes[i + k])) {
                return -1;
            }
        }
        kana = kana || byte == 0xA4 || byte == 0xA5;
        i += size;
    }
    return kana ? 1 : 0;
}

bool reads_as_sjis(const unsigned char* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = bytes[i];
        if (is_sjis_lead_byte(byte)) {
            if (i + 1 < length) {
                const unsigned char trail = bytes[i + 1];
                if (trail < 0x40 || trail == 0x7F || trail > 0xFC) {
                    return false;
                }
            }
            ++i;
        } else if (byte == 0x80 || byte == 0xA0 || byte >= 0xFD) {
            return false;
        }
    }
    return true;
}

}  // namespace

TextEncoding guess_text_encoding(const char* bytes, size_t length) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes);
    if (read_as_utf8(data, length) == 1) {
        return ENCODING_UTF8;
    }
    const int euc = read_as_euc(data, length);
    if (euc == 1 || (euc == 0 && !reads_as_sjis(data, length))) {
        return ENCODING_EUC_JP;
    }
    return ENCODING_SHIFT_JIS;
}

// A log's bytes reach the terminal only as text: a line end would break the
// hint's line, and an escape sequence would drive the terminal. No byte of a
// multi-byte character is below 0x20 in any of the encodings.
static void replace_control_bytes(char* text) {
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
        text[--length] = '\0';
    }
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            text[i] = '?';
        }
    }
}

void log_text_for_terminal(const char* text, char* out, size_t size) {
    const TextEncoding encoding = guess_text_encoding(text, std::strlen(text));
    const char* from = encoding == ENCODING_EUC_JP ? "EUC-JP" : "CP932";
    if (platform_error_terminal() != TERMINAL_UTF8 || encoding == ENCODING_UTF8 ||
        platform_text_to_utf8(text, from, out, size) != 0) {
        std::strncpy(out, text, size - 1);
        out[size - 1] = '\0';
    }
    replace_control_bytes(out);
}
