// Random pattern and text bytes through the compiler and the matcher. The
// input is the pattern, a NUL, then the text (no NUL: an empty text). Checks
// that nothing reads or writes out of bounds (the sanitizers) and that every
// reported match lies on character boundaries within the text, and that the
// header recognisers give the matcher's answer on the text, each for its
// header pattern.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logindex/header_rules.h"
#include "logindex/log_format.h"
#include "match/pattern_compiler.h"
#include "match/pattern_match.h"

namespace {

void check(bool condition) {
    if (!condition) abort();
}

// Byte position after `units` characters from `position`, or SIZE_MAX when
// the text ends first.
size_t skip_units(const char* text, size_t position, uint32_t units) {
    for (; units > 0; --units) {
        bool ended = false;
        if (read_unit(text, &position, &ended) == 0 || ended) return SIZE_MAX;
    }
    return position;
}

void check_compiled(const char* pattern) {
    static uint16_t words[MAX_PATTERN_WORDS];
    size_t count = 0;
    if (compile_pattern(pattern, words, MAX_PATTERN_WORDS, &count) != 0) return;
    check(count >= 1 && count <= MAX_PATTERN_WORDS);
    check(words[count - 1] == TOK_END);
}

void check_header_recognizers(const char* text) {
    for (int p = 0; p < 5; ++p) {
        const bool engine = match_pattern(nullptr, text, HEADER_PATTERNS[p]) == 1;
        check(line_matches(text, *HEADER_RECOGNIZERS[p]) == engine);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const char* separator = static_cast<const char*>(memchr(bytes, 0, size));
    std::string pattern(bytes,
                        separator != nullptr ? static_cast<size_t>(separator - bytes) : size);
    std::string text;
    if (separator != nullptr) text.assign(separator + 1, bytes + size);

    check_compiled(pattern.c_str());
    MatchRegisters regs{1, 2, 3, 4};
    int result = match_pattern(&regs, text.c_str(), pattern.c_str());
    check(result == 0 || result == 1);
    check_header_recognizers(text.c_str());
    if (result == 0) {
        check(regs.byte_offset == 0 && regs.char_offset == 0 && regs.byte_length == 0 &&
              regs.char_length == 0);
        return 0;
    }
    size_t length = strlen(text.c_str());
    check(regs.byte_offset <= length && regs.byte_length <= length - regs.byte_offset);
    check(skip_units(text.c_str(), 0, regs.char_offset) == regs.byte_offset);
    check(skip_units(text.c_str(), regs.byte_offset, regs.char_length) ==
          regs.byte_offset + regs.byte_length);

    MatchRegisters again{0, 0, 0, 0};
    check(match_pattern(&again, text.c_str(), pattern.c_str()) == 1);
    check(memcmp(&again, &regs, sizeof regs) == 0);
    return 0;
}
