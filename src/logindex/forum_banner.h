// The latest-dated NIFTY SERVE forum banner line of a log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "logindex/log_format.h"

struct ForumBanner {
    char line[LINE_BUFFER_SIZE];  // kept whole: a banner line may be a full 8192-byte piece
    size_t length;                // bytes of `line`, NULs included; 0 for none
    uint32_t key;                 // the date key of `line`
};

void reset_forum_banner(ForumBanner* banner);
// `line` is `length` bytes and NUL-terminated; dates are read as a C string.
void note_forum_banner(ForumBanner* banner, const char* line, size_t length);
