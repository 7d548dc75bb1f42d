#pragma once

#include "logindex/log_format.h"

// Reads the log once and fills `index` in file order. Returns the number of
// entries (> 0), 0 for no header or too many, -1 for an open, read, header or
// room error or a log too large for 32-bit offsets (each reported on standard error).
int build_index(const char* path, MessageIndex index);
