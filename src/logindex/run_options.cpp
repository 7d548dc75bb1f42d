#include "logindex/run_options.h"

RunOptions run_options = INITIAL_RUN_OPTIONS;
