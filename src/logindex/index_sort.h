#pragma once

#include <cstddef>

#include "logindex/log_format.h"

using RecordCompare = int (*)(const void* a, const void* b);

int compare_entries(const void* a, const void* b);
void swap_records(void* base, size_t record_size, int first, int second);
void quicksort_range(void* base, size_t record_size, RecordCompare compare, int lo, int hi);
void sort_index(MessageIndex index, int count);

// The writer's repeat rule, which the check counts by too: in sorted
// entries, one whose number equals the one just before it is written once.
// The first entry never is one, whatever its number.
inline bool is_repeat(const MessageIndexEntry* sorted, int i) {
    return i > 0 && sorted[i].number == sorted[i - 1].number;
}
