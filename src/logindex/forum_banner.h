// The latest-dated NIFTY SERVE forum banner line of the log being processed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "logindex/log_format.h"

// Kept whole: a banner line may be a full 8192-byte piece.
extern char latest_banner_line[LINE_BUFFER_SIZE];
extern size_t latest_banner_length;  // bytes of latest_banner_line, NULs included
extern uint32_t latest_banner_key;

void reset_forum_banner();
// `line` is `length` bytes and NUL-terminated; dates are read as a C string.
void note_forum_banner(const char* line, size_t length);
