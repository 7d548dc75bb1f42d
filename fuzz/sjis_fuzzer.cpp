// Checks the Shift_JIS routines against naive definitions written out here:
// the byte kind at every index, both delimiter searches (also from a pointer
// into the middle of the string), upper-casing, and copying over overlapping
// areas.
//
// Input: byte 0 is the character searched (folded into 0x01-0x7F), byte 1 the
// start of the inner search and the shift of the overlapping copy, the rest
// the string (up to its first NUL, as for any C string).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/sjis_string.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool in_lead_range(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool in_trail_range(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// The rule itself: a byte after a lead byte is a trail when it can be one,
// else a single byte; any other byte is a lead when it can be one.
std::vector<int> reference_kinds(const unsigned char* s, size_t length) {
    std::vector<int> kinds(length);
    int previous = SJIS_SINGLE;
    for (size_t i = 0; i < length; ++i) {
        if (previous == SJIS_LEAD) {
            kinds[i] = in_trail_range(s[i]) ? SJIS_TRAIL : SJIS_SINGLE;
        } else {
            kinds[i] = in_lead_range(s[i]) ? SJIS_LEAD : SJIS_SINGLE;
        }
        previous = kinds[i];
    }
    return kinds;
}

const char* reference_strchr(const char* s, int ch) {
    const size_t length = std::strlen(s);
    std::vector<int> kinds = reference_kinds(reinterpret_cast<const unsigned char*>(s), length);
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(s[i]) == ch && kinds[i] == SJIS_SINGLE) {
            return s + i;
        }
    }
    return nullptr;
}

const char* reference_strrchr(const char* s, int ch) {
    const size_t length = std::strlen(s);
    std::vector<int> kinds = reference_kinds(reinterpret_cast<const unsigned char*>(s), length);
    for (size_t i = length; i-- > 0;) {
        if (static_cast<unsigned char>(s[i]) == ch && kinds[i] == SJIS_SINGLE) {
            return s + i;
        }
    }
    return nullptr;
}

void check_byte_kinds(const char* s, size_t length) {
    std::vector<int> kinds = reference_kinds(reinterpret_cast<const unsigned char*>(s), length);
    for (size_t i = 0; i < length; ++i) {
        check(sjis_byte_kind(s, static_cast<int>(i)) == kinds[i]);
        check(is_sjis_lead_byte(static_cast<unsigned char>(s[i])) ==
              in_lead_range(static_cast<unsigned char>(s[i])));
        check(is_sjis_trail_byte(static_cast<unsigned char>(s[i])) ==
              in_trail_range(static_cast<unsigned char>(s[i])));
    }
    check(sjis_byte_kind(s, -1) == SJIS_BAD_INDEX);
    check(sjis_byte_kind(s, static_cast<int>(length)) == SJIS_BAD_INDEX);
    check(sjis_byte_kind(s, static_cast<int>(length) + 1) == SJIS_BAD_INDEX);
}

void check_searches(const char* s, size_t length, int ch, size_t inner) {
    check(sjis_strchr(s, ch) == reference_strchr(s, ch));
    check(sjis_strrchr(s, ch) == reference_strrchr(s, ch));
    // A search from the middle classifies as if the string began there.
    if (inner <= length) {
        check(sjis_strchr(s + inner, ch) == reference_strchr(s + inner, ch));
        check(sjis_strrchr(s + inner, ch) == reference_strrchr(s + inner, ch));
    }
    check(sjis_strchr(s, 0) == nullptr);
    check(sjis_strrchr(s, 0) == nullptr);
}

// Two readings of upper-casing that must agree: the flag walk, and "exactly
// the 'a'-'z' bytes of kind single". Bytes past the terminator stay.
void check_upper_casing(const char* s, size_t length) {
    std::vector<char> expected(s, s + length + 1);
    bool after_lead = false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char b = static_cast<unsigned char>(expected[i]);
        if (after_lead) {
            after_lead = false;
        } else if (in_lead_range(b)) {
            after_lead = true;
        } else if (b >= 'a' && b <= 'z') {
            expected[i] = static_cast<char>(b - 'a' + 'A');
        }
    }
    std::vector<int> kinds = reference_kinds(reinterpret_cast<const unsigned char*>(s), length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        const bool lower = b >= 'a' && b <= 'z' && kinds[i] == SJIS_SINGLE;
        check(static_cast<unsigned char>(expected[i]) == (lower ? b - 'a' + 'A' : b));
    }
    std::vector<char> actual(s, s + length + 1);
    actual.push_back('x');  // a canary past the terminator
    check(sjis_strupr(actual.data()) == actual.data());
    check(std::memcmp(actual.data(), expected.data(), length + 1) == 0);
    check(actual[length + 1] == 'x');
}

// copy_string behaves as a move: shifted by `shift` bytes either way inside
// one buffer, the result is the source's bytes and terminator, and nothing
// else in the buffer changes.
void check_overlapping_copy(const char* s, size_t length, size_t shift) {
    const size_t size = length + 1 + 2 * shift;
    for (int direction = 0; direction < 2; ++direction) {
        std::vector<char> buffer(size, '#');
        const size_t from = direction == 0 ? 0 : 2 * shift;
        const size_t to = shift;
        std::memcpy(buffer.data() + from, s, length + 1);
        std::vector<char> expected = buffer;
        std::memmove(expected.data() + to, s, length + 1);
        check(copy_string(buffer.data() + to, buffer.data() + from) == buffer.data() + to);
        check(buffer == expected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const int ch = 1 + data[0] % 0x7F;
    const size_t parameter = data[1];
    std::vector<char> text(data + 2, data + size);
    text.push_back('\0');
    const char* s = text.data();
    const size_t length = std::strlen(s);

    check_byte_kinds(s, length);
    check_searches(s, length, ch, parameter % (length + 1));
    check_upper_casing(s, length);
    check_overlapping_copy(s, length, parameter % 17);
    return 0;
}
