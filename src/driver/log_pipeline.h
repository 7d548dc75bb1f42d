#pragma once

#include "logindex/log_format.h"

// Takes one file argument through the whole job (with --check, through the
// indexing and the check). 0 when the log was sorted, was already in order,
// would be checked, or is a ".BAK" (never sorted); -1 when a problem left it
// unsorted (reported).
int process_log_file(const char* argument, MessageIndex index);
