// Where the line feeds of 64 bytes lie, one bit per byte (bit i for bytes[i]).
// A log is mostly short lines: finding each one's end with a call of its own
// (memchr) costs more than everything else done with the line, while a bit
// scan over a mask made 64 bytes at a time costs next to nothing.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define ZEMBRA_LINE_FEEDS_SSE2 1
#endif

constexpr int LINE_FEED_SPAN = 64;

// Byte-wise, for machines without SSE2: a byte of the word that equals '\n'
// gets its high bit, exactly (no borrow runs into the next byte), and the
// eight high bits are gathered into the low byte.
inline uint64_t line_feed_mask_portable(const char* bytes) {
    constexpr uint64_t LOW_SEVEN = 0x7F7F7F7F7F7F7F7Full;
    constexpr uint64_t FEEDS = 0x0A0A0A0A0A0A0A0Aull;
    uint64_t mask = 0;
    for (int word = 0; word < LINE_FEED_SPAN / 8; ++word) {
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {  // little-endian order whatever the machine
            value |= uint64_t{static_cast<unsigned char>(bytes[word * 8 + i])} << (8 * i);
        }
        const uint64_t differs = value ^ FEEDS;
        const uint64_t high = ~(((differs & LOW_SEVEN) + LOW_SEVEN) | differs | LOW_SEVEN);
        const uint64_t gathered = ((high >> 7) * 0x0102040810204080ull) >> 56;
        mask |= gathered << (8 * word);
    }
    return mask;
}

inline uint64_t line_feed_mask(const char* bytes) {
#ifdef ZEMBRA_LINE_FEEDS_SSE2
    const __m128i feeds = _mm_set1_epi8('\n');
    const auto* chunks = reinterpret_cast<const __m128i*>(bytes);
    const auto bits_of = [&](int part) {
        const __m128i chunk = _mm_loadu_si128(chunks + part);
        return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, feeds)))};
    };
    return bits_of(0) | bits_of(1) << 16 | bits_of(2) << 32 | bits_of(3) << 48;
#else
    return line_feed_mask_portable(bytes);
#endif
}

// How many of 64 bytes are line feeds. Passing over the lines a count
// covers needs only how many each 64 bytes hold, and summing the compares
// costs a third of gathering them into a mask and counting its bits.
inline int line_feed_count(const char* bytes) {
#ifdef ZEMBRA_LINE_FEEDS_SSE2
    const __m128i feeds = _mm_set1_epi8('\n');
    const auto* chunks = reinterpret_cast<const __m128i*>(bytes);
    // A line feed compares as -1 (0xFF): each lane sums to at most 4 of them
    // negated, spelled out, as a compiler at -O2 keeps a loop here.
    const __m128i first = _mm_add_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(chunks), feeds),
                                       _mm_cmpeq_epi8(_mm_loadu_si128(chunks + 1), feeds));
    const __m128i second = _mm_add_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(chunks + 2), feeds),
                                        _mm_cmpeq_epi8(_mm_loadu_si128(chunks + 3), feeds));
    const __m128i counts = _mm_sub_epi8(_mm_setzero_si128(), _mm_add_epi8(first, second));
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    return _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
#else
    return std::popcount(line_feed_mask_portable(bytes));
#endif
}

// The mask of fewer than 64 bytes; the bits past `length` are clear.
inline uint64_t line_feed_mask_of(const char* bytes, size_t length) {
    if (length >= LINE_FEED_SPAN) {
        return line_feed_mask(bytes);
    }
    char padded[LINE_FEED_SPAN] = {};
    std::memcpy(padded, bytes, length);
    return line_feed_mask(padded);
}

// A buffer's line feeds from `at` on, 64 bytes at a time. Whoever changes
// the buffer's bytes forgets the mask (forget_line_feeds).
struct LineFeedScan {
    size_t at;  // SIZE_MAX: no mask held
    uint64_t mask;
};

inline void forget_line_feeds(LineFeedScan* scan) {
    scan->at = SIZE_MAX;
    scan->mask = 0;
}

// Past 128 bytes of a line without a line feed the C library finds the line
// feed in data[from, end) many bytes a step: a log whose lines of 8-20 KiB
// hold half its bytes took a quarter more instructions 64 bytes at a time.
inline size_t find_line_feed_far(LineFeedScan* scan, const char* data, size_t valid, size_t from,
                                 size_t end) {
    const void* feed = std::memchr(data + from, '\n', end - from);
    if (feed == nullptr) {
        return end;
    }
    const auto found = static_cast<size_t>(static_cast<const char*>(feed) - data);
    scan->at = found;
    scan->mask = line_feed_mask_of(data + found, valid - found);
    return found;
}

// The first line feed in data[from, end), or `end`; `valid` bytes of `data`
// may be read, and end <= valid. Called once a line, so always inlined: a
// call costs as much as the rest of it.
[[gnu::always_inline]] inline size_t find_line_feed(LineFeedScan* scan, const char* data,
                                                    size_t valid, size_t from, size_t end) {
    if (scan->at > from || from - scan->at >= LINE_FEED_SPAN) {
        scan->at = from;
        scan->mask = line_feed_mask_of(data + from, valid - from);
    }
    const size_t skipped = from - scan->at;
    uint64_t mask = scan->mask >> skipped << skipped;
    for (int spans = 0; mask == 0; ++spans) {
        const size_t next = scan->at + LINE_FEED_SPAN;
        if (next >= end) {
            return end;
        }
        if (spans == 1) {
            return find_line_feed_far(scan, data, valid, next, end);
        }
        scan->at = next;
        scan->mask = line_feed_mask_of(data + next, valid - next);
        mask = scan->mask;
    }
    const size_t found = scan->at + static_cast<size_t>(std::countr_zero(mask));
    return found < end ? found : end;
}

// The next piece of data[from, valid): a line up to and including its line
// feed, or the first `most` bytes of a longer line. 0 when the bytes held end
// before either, for the caller to read on; `at_end` (nothing follows them)
// gives what is left instead. The one rule by which every reader of a log
// splits it, so that the indexer and the writer see the same lines.
[[gnu::always_inline]] inline size_t line_piece_length(LineFeedScan* scan, const char* data,
                                                       size_t valid, size_t from, size_t most,
                                                       bool at_end) {
    const size_t held = valid - from;
    const size_t end = from + (held < most ? held : most);
    const size_t feed = find_line_feed(scan, data, valid, from, end);
    if (feed < end) {
        return feed - from + 1;
    }
    return held >= most || at_end ? end - from : 0;
}
