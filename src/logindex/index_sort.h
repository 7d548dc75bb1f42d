#pragma once

#include <cstddef>

#include "logindex/log_format.h"

using RecordCompare = int (*)(const void* a, const void* b);

int compare_entries(const void* a, const void* b);
void swap_records(void* base, size_t record_size, int first, int second);
void quicksort_range(void* base, size_t record_size, RecordCompare compare, int lo, int hi);
void sort_index(MessageIndex index, int count);
