#include "support/reference_matcher.h"

#include <algorithm>

#include "match/pattern_compiler.h"

namespace {

// match_here as a recursive function over the whole text converted to units,
// the end mark appended: the obvious reading of the rules.
struct ReferenceMatcher {
    const std::vector<uint16_t>& words;
    const std::vector<CharUnit>& units;

    size_t target(size_t offset_word) const {
        return offset_word + static_cast<int16_t>(words[offset_word]) / 2;
    }

    bool class_hit(size_t i, CharUnit unit) const {
        size_t j = i + 2;
        bool negated = words[j] == 0x005E;
        if (negated) ++j;
        bool hit = false;
        while (!hit && words[j] != 0) {
            if (words[j] == TOK_RANGE) {
                uint16_t low = std::min(words[j + 1], words[j + 2]);
                uint16_t high = std::max(words[j + 1], words[j + 2]);
                hit = unit >= low && unit <= high;
                j += 3;
            } else {
                hit = words[j++] == unit;
            }
        }
        return hit != negated;
    }

    long here(size_t i, size_t p, size_t m) const {
        for (;;) {
            uint16_t w = words[i];
            uint8_t kind = is_operator_word(w) ? PATTERN_CHAR_KINDS[w >> 8] : KIND_LITERAL;
            if (w == TOK_END) return static_cast<long>(p);
            if (kind == KIND_DOLLAR && words[i + 1] == TOK_END)
                return units[p] == 0 ? static_cast<long>(p) : -1;
            if (kind == KIND_DOLLAR) w = 0x0024, kind = KIND_LITERAL;
            switch (kind) {
                case KIND_DOT:
                    if (units[p] == 0) return -1;
                    ++p, ++i;
                    break;
                case KIND_CLASS:
                    if (units[p] == 0 || !class_hit(i, units[p])) return -1;
                    ++p, i = target(i + 1);
                    break;
                case KIND_DELETE:
                    i = target(i + 1);
                    break;
                case KIND_BAR: {
                    long left = here(i + 2, p, m);
                    if (left >= 0) return left;
                    i = target(i + 1);
                    break;
                }
                case KIND_STAR:
                case KIND_PLUS:
                case KIND_QUESTION:
                    if (static_cast<int16_t>(words[i + 1]) > 0) {
                        if (kind != KIND_PLUS) {
                            long once = here(i + 2, p, m);
                            if (once >= 0) return once;
                            i = target(i + 1);
                        } else {
                            i += 2;
                        }
                    } else {
                        if (kind != KIND_QUESTION && p != m) {
                            long again = here(target(i + 1), p, p);
                            if (again >= 0) return again;
                        }
                        i += 2;
                    }
                    break;
                default:
                    if (units[p] != w) return -1;
                    ++p, ++i;
                    break;
            }
        }
    }
};

}  // namespace

std::vector<uint16_t> compile_words(const std::string& pattern) {
    std::vector<uint16_t> words(MAX_PATTERN_WORDS);
    size_t count = 0;
    if (compile_pattern(pattern.c_str(), words.data(), words.size(), &count) != 0) return {};
    words.resize(count);
    return words;
}

int reference_match(MatchRegisters* regs, const std::string& text,
                    const std::vector<uint16_t>& words) {
    if (words.empty()) return 0;
    std::vector<CharUnit> units;
    size_t position = 0;
    bool ended = false;
    for (CharUnit unit = read_unit(text.c_str(), &position, &ended); !ended;
         unit = read_unit(text.c_str(), &position, &ended))
        units.push_back(unit);
    units.push_back(0);
    ReferenceMatcher matcher{words, units};
    size_t start = 0;
    long end = -1;
    if (words[0] == TOK_START_ANCHOR) {
        end = matcher.here(1, 0, 0);
    } else {
        for (;; ++start) {
            end = matcher.here(0, start, start);
            if (end >= 0 || units[start] == 0) break;
        }
    }
    if (end < 0) return 0;
    auto bytes = [&](size_t from, size_t to) {
        uint32_t total = 0;
        for (size_t k = from; k < to; ++k)
            total += (units[k] >> 8 ? 1 : 0) + (units[k] & 0xFF ? 1 : 0);
        return total;
    };
    *regs = {bytes(0, start), static_cast<uint32_t>(start), bytes(start, end),
             static_cast<uint32_t>(end - start)};
    return 1;
}
