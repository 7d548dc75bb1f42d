#pragma once

#include "logindex/log_format.h"

// Takes one file argument through the whole job. 0 when the file reached the
// writing step, -1 when it stopped earlier.
int process_log_file(const char* argument, MessageIndex index);
