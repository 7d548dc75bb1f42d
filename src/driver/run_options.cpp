#include "driver/run_options.h"

RunOptions run_options = {
    .service = -1,
    .make_backup = 1,
    .line_check = 1,
    .debug_dump = 0,
};
