// Settings fixed by the command line before the first file is processed. The
// indexer and the writer read them too, so they live here, in a header that
// includes nothing else of the program.
#pragma once

enum Service {
    SERVICE_PCVAN = 0,
    SERVICE_NIFTY = 1,
};

struct RunOptions {
    int service;      // SERVICE_PCVAN, SERVICE_NIFTY, or -1 before one is chosen
    int make_backup;  // 1: keep the previous log as ".BAK"; 0: keep no copy of it
    int line_check;   // 1: use the body line counts of PC-VAN headers
    int debug_dump;   // 1: print one dump line per indexed message on standard output
    // Set by long options only; older four-field initialisers leave them at these.
    int check_only = 0;       // 1 (--check): index each log, report what a run would change
    int max_messages = 3000;  // messages a log may hold (--max-messages)
    int list_only = 0;        // 1 (--list, with --check): only the names of logs that would change
};

// What a run starts from, before the switches are read.
constexpr RunOptions INITIAL_RUN_OPTIONS = {
    .service = -1,
    .make_backup = 1,
    .line_check = 1,
    .debug_dump = 0,
    .check_only = 0,
    .max_messages = 3000,
    .list_only = 0,
};

extern RunOptions run_options;
