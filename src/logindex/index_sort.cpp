// The index sort. The exact steps matter: entries that compare equal (two
// copies of one message) end in the order these steps give, and the writer
// keeps the first of them, so another sorting method could keep another copy.
#include "logindex/index_sort.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

int compare_signed(int32_t a, int32_t b) {
    if (a < b) {
        return -1;
    }
    return a > b ? 1 : 0;
}

// compare_entries(a, b) < 0, as two comparisons of unsigned words: the sign
// bit flipped, unsigned order is signed order. Three compares each followed
// by a branch the data decides cost most of a sort.
struct SortKey {
    uint64_t when;  // date key, then time key
    uint32_t number;
};

inline SortKey sort_key_of(const MessageIndexEntry& entry) {
    constexpr uint32_t SIGN = 0x80000000u;
    return SortKey{(uint64_t{entry.date_key ^ SIGN} << 32) | (entry.time_key ^ SIGN),
                   static_cast<uint32_t>(entry.number) ^ SIGN};
}

inline bool key_before(const SortKey& x, const SortKey& y) {
    return x.when < y.when || (x.when == y.when && x.number < y.number);
}

inline bool sorts_before(const MessageIndexEntry& a, const MessageIndexEntry& b) {
    return key_before(sort_key_of(a), sort_key_of(b));
}

}  // namespace

// Keys compare as signed values; their upper 16 bits are always 0.
int compare_entries(const void* a, const void* b) {
    const auto* first = static_cast<const MessageIndexEntry*>(a);
    const auto* second = static_cast<const MessageIndexEntry*>(b);
    int order = compare_signed(static_cast<int32_t>(first->date_key),
                               static_cast<int32_t>(second->date_key));
    if (order == 0) {
        order = compare_signed(static_cast<int32_t>(first->time_key),
                               static_cast<int32_t>(second->time_key));
    }
    if (order == 0) {
        order = compare_signed(first->number, second->number);
    }
    return order;
}

void swap_records(void* base, size_t record_size, int first, int second) {
    auto* bytes = static_cast<unsigned char*>(base);
    unsigned char* a = bytes + static_cast<size_t>(first) * record_size;
    unsigned char* b = bytes + static_cast<size_t>(second) * record_size;
    for (size_t i = 0; i < record_size; ++i) {
        const unsigned char byte = a[i];
        a[i] = b[i];
        b[i] = byte;
    }
}

namespace {

// Middle element as pivot, one-sided partition. The two sides never exchange
// entries, so sorting them in either order gives the same result: the smaller
// side is sorted by recursion and the larger by the loop, which bounds the
// depth by log2 of the count (12 for 3000 entries instead of 3000 when every
// entry is equal). The steps are written once, over how records are compared
// and swapped, so that sort_index can run them on typed entries (the
// comparison inlined, a record swapped whole) and give exactly the order of
// the generic version. `less_than(p)` gives the test "record i sorts before
// record p": the pivot stays in place through the partition, so the typed
// test reads its key once.
template <typename LessThan, typename Swap>
int partition_steps(int lo, int hi, const LessThan& less_than, const Swap& swap) {
    swap(lo, static_cast<int>((int64_t{lo} + hi) / 2));
    const auto before_pivot = less_than(lo);
    int last = lo;
    for (int i = lo + 1; i <= hi; ++i) {
        if (before_pivot(i)) {
            ++last;
            swap(last, i);
        }
    }
    swap(lo, last);
    return last;
}

template <typename LessThan, typename Swap>
void quicksort_steps(int lo, int hi, const LessThan& less_than, const Swap& swap) {
    while (lo < hi) {
        const int last = partition_steps(lo, hi, less_than, swap);
        if (last - lo < hi - last) {
            quicksort_steps(lo, last - 1, less_than, swap);
            lo = last + 1;
        } else {
            quicksort_steps(last + 1, hi, less_than, swap);
            hi = last - 1;
        }
    }
}

}  // namespace

void quicksort_range(void* base, size_t record_size, RecordCompare compare, int lo, int hi) {
    const auto* bytes = static_cast<const unsigned char*>(base);
    auto record = [&](int i) { return bytes + static_cast<size_t>(i) * record_size; };
    quicksort_steps(
        lo, hi, [&](int p) { return [&, p](int i) { return compare(record(i), record(p)) < 0; }; },
        [&](int i, int j) { swap_records(base, record_size, i, j); });
}

namespace {

// Runs this short are sorted by insertion before they are merged.
constexpr int SHORTEST_MERGED_RUN = 16;

// Stable: an entry moves only past entries that sort after it.
void insertion_sort(MessageIndexEntry* index, int lo, int hi) {
    for (int i = lo + 1; i < hi; ++i) {
        const MessageIndexEntry entry = index[i];
        int at = i;
        for (; at > lo && sorts_before(entry, index[at - 1]); --at) {
            index[at] = index[at - 1];
        }
        index[at] = entry;
    }
}

// Merges the sorted runs [lo, middle) and [middle, hi) of `index`, the first
// moved to `scratch`; on equal keys the first run goes first.
void merge_runs(MessageIndexEntry* index, MessageIndexEntry* scratch, int lo, int middle, int hi) {
    const int left_count = middle - lo;
    std::memcpy(scratch, index + lo, static_cast<size_t>(left_count) * sizeof *scratch);
    int left = 0;
    int right = middle;
    int out = lo;
    while (left < left_count && right < hi) {
        const bool take_right = sorts_before(index[right], scratch[left]);
        index[out++] = take_right ? index[right] : scratch[left];
        right += take_right ? 1 : 0;
        left += take_right ? 0 : 1;
    }
    // What is left of the second run already lies in its place.
    std::memcpy(index + out, scratch + left,
                static_cast<size_t>(left_count - left) * sizeof *scratch);
}

// Top-down merge sort, n log n whatever the keys, scratch for half of them.
// Two runs already in order (downloads mostly are) are left as they lie.
void merge_sort_range(MessageIndexEntry* index, MessageIndexEntry* scratch, int lo, int hi) {
    if (hi - lo <= SHORTEST_MERGED_RUN) {
        insertion_sort(index, lo, hi);
        return;
    }
    const int middle = lo + (hi - lo + 1) / 2;
    merge_sort_range(index, scratch, lo, middle);
    merge_sort_range(index, scratch, middle, hi);
    if (sorts_before(index[middle], index[middle - 1])) {
        merge_runs(index, scratch, lo, middle, hi);
    }
}

// Stable: of the copies of one message the first in the file stays first,
// and the writer keeps it. -1 when the scratch block cannot be had.
int merge_sort_index(MessageIndex index, int count) {
    const size_t half = static_cast<size_t>(count) / 2 + 1;
    auto* scratch = static_cast<MessageIndexEntry*>(std::malloc(half * sizeof(MessageIndexEntry)));
    if (scratch == nullptr) {
        return -1;
    }
    merge_sort_range(index, scratch, 0, count);
    std::free(scratch);
    return 0;
}

}  // namespace

// Up to MAX_INDEX_ENTRIES the quicksort's order of equal entries is the
// order a run has always given. A larger index (--max-messages) is merge
// sorted: a joined log of tens of thousands of messages, many of them
// copies, must not meet the quicksort's quadratic cases; without memory for
// the merge the quicksort still sorts it.
void sort_index(MessageIndex index, int count) {
    if (count > MAX_INDEX_ENTRIES && merge_sort_index(index, count) == 0) {
        return;
    }
    quicksort_steps(
        0, count - 1,
        [&](int p) {
            const SortKey pivot = sort_key_of(index[p]);
            return [index, pivot](int i) { return key_before(sort_key_of(index[i]), pivot); };
        },
        [&](int i, int j) {
            const MessageIndexEntry entry = index[i];
            index[i] = index[j];
            index[j] = entry;
        });
}
