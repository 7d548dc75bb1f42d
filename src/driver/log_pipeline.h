#pragma once

#include "logindex/log_format.h"

// Takes one file argument through the whole job (with --check, through the
// indexing and the check). -1 when the log was left unsorted because of a
// problem, 0 otherwise (a ".BAK" refused by its name included).
int process_log_file(const char* argument, MessageIndex index);
