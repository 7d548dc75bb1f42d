#include "logindex/index_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

MessageIndexEntry entry(int32_t number, uint32_t date_key, uint32_t time_key, int32_t offset) {
    return MessageIndexEntry{number, date_key, time_key, 0, offset};
}

std::vector<int32_t> offsets_of(const std::vector<MessageIndexEntry>& entries) {
    std::vector<int32_t> offsets;
    for (const MessageIndexEntry& e : entries) {
        offsets.push_back(e.offset);
    }
    return offsets;
}

TEST(IndexSortTest, CompareEntries) {
    struct Case {
        MessageIndexEntry a, b;
        int expected;
    } cases[] = {
        {entry(1, 100, 5, 0), entry(1, 101, 0, 0), -1},
        {entry(9, 101, 0, 0), entry(1, 100, 5, 0), 1},
        {entry(9, 100, 4, 0), entry(1, 100, 5, 0), -1},
        {entry(1, 100, 5, 0), entry(2, 100, 5, 0), -1},
        {entry(2, 100, 5, 7), entry(2, 100, 5, 3), 0},
        {MessageIndexEntry{2, 100, 5, 12, 7}, MessageIndexEntry{2, 100, 5, 0, 3}, 0},
        {entry(-5, 100, 5, 0), entry(3, 100, 5, 0), -1},
        // 1999-12-31 before 2000-01-01; a 1970s key after 2069.
        {entry(1, 10143, 0, 0), entry(1, 10273, 0, 0), -1},
        {entry(1, make_date_key(1975, 1, 1), 0, 0), entry(1, make_date_key(2069, 12, 31), 0, 0), 1},
        {entry(1, 0xFFFF, 0xFFFF, 0), entry(1, 0, 0, 0), 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compare_entries(&c.a, &c.b), c.expected)
            << c.a.number << " " << c.a.date_key << " " << c.a.time_key;
    }
}

TEST(IndexSortTest, SwapRecordsByteByByte) {
    std::vector<MessageIndexEntry> entries = {entry(1, 2, 3, 4), entry(5, 6, 7, 8)};
    swap_records(entries.data(), sizeof(MessageIndexEntry), 0, 1);
    EXPECT_EQ(entries[0].number, 5);
    EXPECT_EQ(entries[1].offset, 4);
    swap_records(entries.data(), sizeof(MessageIndexEntry), 1, 1);
    EXPECT_EQ(entries[1].number, 1);
    EXPECT_EQ(entries[1].offset, 4);
}

TEST(IndexSortTest, SortsByDateTimeAndNumber) {
    std::vector<MessageIndexEntry> entries = {
        entry(30, 10273, 0, 0),      // 2000-01-01 00:00
        entry(20, 10143, 48992, 1),  // 1999-12-31 23:59
        entry(12, 8364, 44096, 2),
        entry(11, 8364, 44096, 3),
    };
    sort_index(entries.data(), static_cast<int>(entries.size()));
    EXPECT_EQ(offsets_of(entries), (std::vector<int32_t>{3, 2, 1, 0}));

    std::vector<MessageIndexEntry> single = {entry(5, 1, 1, 42)};
    sort_index(single.data(), 1);
    EXPECT_EQ(single[0].offset, 42);
    sort_index(single.data(), 0);
    EXPECT_EQ(single[0].offset, 42);
}

// The order of equal entries, worked out by hand from the steps: the middle
// record goes first as the pivot, the partition never moves an equal record,
// and the lower part is sorted before the upper part.
TEST(IndexSortTest, EqualEntriesEndInTheOrderOfTheExactSteps) {
    std::vector<MessageIndexEntry> same(4, entry(7, 100, 200, 0));
    for (int i = 0; i < 4; ++i) {
        same[i].offset = i;
    }
    sort_index(same.data(), 4);
    EXPECT_EQ(offsets_of(same), (std::vector<int32_t>{1, 2, 0, 3}));

    std::vector<MessageIndexEntry> mixed = {entry(3, 100, 200, 10), entry(1, 100, 200, 11),
                                            entry(3, 100, 200, 12), entry(2, 100, 200, 13),
                                            entry(3, 100, 200, 14)};
    sort_index(mixed.data(), 5);
    EXPECT_EQ(offsets_of(mixed), (std::vector<int32_t>{11, 13, 12, 10, 14}));
}

TEST(IndexSortTest, RandomIndexesSortIntoOrderKeepingEveryEntry) {
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        const int count = static_cast<int>(random() % 60) + 1;
        std::vector<MessageIndexEntry> entries;
        for (int i = 0; i < count; ++i) {
            entries.push_back(entry(static_cast<int32_t>(random() % 5),
                                    static_cast<uint32_t>(random() % 3),
                                    static_cast<uint32_t>(random() % 3), i));
        }
        std::vector<MessageIndexEntry> sorted = entries;
        sort_index(sorted.data(), count);
        for (int i = 1; i < count; ++i) {
            ASSERT_LE(compare_entries(&sorted[i - 1], &sorted[i]), 0);
        }
        std::vector<int32_t> offsets = offsets_of(sorted);
        std::sort(offsets.begin(), offsets.end());
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(offsets[i], i);
        }
    }
}

// The steps written out literally, recursion on both sides as they read, for
// the sorts to be compared against.
void reference_quicksort(std::vector<MessageIndexEntry>& v, int lo, int hi) {
    if (lo >= hi) {
        return;
    }
    std::swap(v[lo], v[(lo + hi) / 2]);
    int last = lo;
    for (int i = lo + 1; i <= hi; ++i) {
        if (compare_entries(&v[i], &v[lo]) < 0) {
            std::swap(v[++last], v[i]);
        }
    }
    std::swap(v[lo], v[last]);
    reference_quicksort(v, lo, last - 1);
    reference_quicksort(v, last + 1, hi);
}

// Random and tie-heavy tables, up to the full 3000: the typed sort, the
// generic sort and the literal steps leave every entry in the same place.
TEST(IndexSortTest, BothSortsFollowTheStepsExactly) {
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        const int count = round % 50 == 0 ? MAX_INDEX_ENTRIES : static_cast<int>(random() % 60) + 1;
        const uint32_t spread = round % 3 == 0 ? 2 : 5;  // few distinct keys: many ties
        // Every fourth round around the sign bit: keys compare as signed values.
        const uint32_t base = round % 4 == 1 ? 0x80000000u - spread / 2 : 0;
        std::vector<MessageIndexEntry> entries;
        for (int i = 0; i < count; ++i) {
            entries.push_back(entry(static_cast<int32_t>(base + random() % spread),
                                    base + random() % spread, base + random() % spread, i));
        }
        std::vector<MessageIndexEntry> expected = entries;
        reference_quicksort(expected, 0, count - 1);
        std::vector<MessageIndexEntry> typed = entries;
        sort_index(typed.data(), count);
        std::vector<MessageIndexEntry> generic = entries;
        quicksort_range(generic.data(), sizeof(MessageIndexEntry), compare_entries, 0, count - 1);
        ASSERT_EQ(offsets_of(typed), offsets_of(expected)) << "round " << round;
        ASSERT_EQ(offsets_of(generic), offsets_of(expected)) << "round " << round;
    }
}

// A table whose middle entry is always the largest left: the literal steps
// recurse once per entry on the lower side. The sort must stay within a few
// frames of its caller, whatever the order (a 3000-deep recursion crashed on
// small stacks).
uintptr_t deepest_frame;
uintptr_t shallowest_frame;

int compare_noting_depth(const void* a, const void* b) {
    const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    deepest_frame = std::min(deepest_frame, frame);
    shallowest_frame = std::max(shallowest_frame, frame);
    return compare_entries(a, b);
}

TEST(IndexSortTest, DepthStaysLogarithmicOnTheWorstOrder) {
    const int count = MAX_INDEX_ENTRIES;
    std::vector<int> at(count);  // which original entry each place holds
    std::vector<MessageIndexEntry> entries(count, entry(0, 1, 1, 0));
    for (int i = 0; i < count; ++i) {
        at[i] = i;
    }
    for (int hi = count - 1; hi > 0; --hi) {  // replay the steps, largest to the middle
        entries[at[hi / 2]].number = hi;
        std::swap(at[0], at[hi / 2]);
        std::swap(at[0], at[hi]);
    }
    deepest_frame = UINTPTR_MAX;
    shallowest_frame = 0;
    quicksort_range(entries.data(), sizeof(MessageIndexEntry), compare_noting_depth, 0, count - 1);
    EXPECT_LT(shallowest_frame - deepest_frame, 16u * 1024);
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(entries[i].number, i);
    }
}

// Copies of one message (same number, date and time) end next to each other.
TEST(IndexSortTest, CopiesOfAMessageEndAdjacent) {
    std::vector<MessageIndexEntry> entries = {entry(5, 100, 0, 0), entry(6, 100, 1, 1),
                                              entry(4, 99, 0, 2), entry(5, 100, 0, 3),
                                              entry(6, 100, 1, 4)};
    sort_index(entries.data(), 5);
    std::vector<int32_t> numbers;
    for (const MessageIndexEntry& e : entries) {
        numbers.push_back(e.number);
    }
    EXPECT_EQ(numbers, (std::vector<int32_t>{4, 5, 5, 6, 6}));
}

// All entries equal: every partition leaves the upper side with all but one.
TEST(IndexSortTest, FullTableOfEqualEntries) {
    std::vector<MessageIndexEntry> entries(MAX_INDEX_ENTRIES, entry(1, 1, 1, 0));
    sort_index(entries.data(), MAX_INDEX_ENTRIES);
    EXPECT_EQ(entries.back().number, 1);
}

// Past MAX_INDEX_ENTRIES (--max-messages) the sort is stable: copies of one
// message keep their file order, so the writer keeps the first in the file.
// A table of 200,000 equal entries, quadratic for the quicksort steps, is
// among the cases, and overlapping downloads each in order.
TEST(IndexSortTest, LargeIndexesSortStably) {
    std::mt19937 random(777);
    const struct {
        int count;
        uint32_t spread;
        uint32_t base;  // keys around the sign bit compare as signed values
        int downloads;  // 0: keys at random; else each download's keys rise
    } cases[] = {{MAX_INDEX_ENTRIES + 1, 5, 0, 0},
                 {5000, 2, 0, 0},
                 {30000, 40000, 0, 0},
                 {65537, 3, 0, 0},
                 {200000, 1, 0, 0},
                 {9000, 6, 0x7FFFFFFDu, 0},
                 {20000, 3, 0, 3},
                 {12345, 2, 0, 1}};
    for (const auto& [count, spread, base, downloads] : cases) {
        std::vector<MessageIndexEntry> entries;
        for (int i = 0; i < count; ++i) {
            const auto rising =
                downloads == 0 ? 0u : static_cast<uint32_t>(i % (count / downloads + 7));
            entries.push_back(entry(static_cast<int32_t>(base + rising + random() % spread),
                                    base + rising, base + random() % spread, i));
        }
        std::vector<MessageIndexEntry> expected = entries;
        std::stable_sort(expected.begin(), expected.end(),
                         [](const MessageIndexEntry& a, const MessageIndexEntry& b) {
                             return compare_entries(&a, &b) < 0;
                         });
        sort_index(entries.data(), count);
        ASSERT_EQ(offsets_of(entries), offsets_of(expected)) << count;
    }
}

}  // namespace
