// Settings fixed by the command line before the first file is processed.
#pragma once

enum Service {
    SERVICE_PCVAN = 0,
    SERVICE_NIFTY = 1,
};

struct RunOptions {
    int service;      // SERVICE_PCVAN, SERVICE_NIFTY, or -1 before one is chosen
    int make_backup;  // 1: keep the previous log as ".BAK"; 0: remove the saved copy
    int line_check;   // 1: use the body line counts of PC-VAN headers
    int debug_dump;   // 1: print one dump line per indexed message on standard output
};

extern RunOptions run_options;
