#pragma once

#include "platform/platform.h"

// One log's names, each found once, as it is first needed.
struct LogNames {
    const char* typed;               // as typed: refusals and reports name the log so
    char shown[NAME_BUFFER_SIZE];    // upper-cased, as "Reading:" and the rewrite show it
    char target[NAME_BUFFER_SIZE];   // `shown`, or the file a symbolic link leads to:
                                     // the ".BAK" and side names are made from it
    char on_disk[NAME_BUFFER_SIZE];  // the target as its folder spells it: held by it
};
