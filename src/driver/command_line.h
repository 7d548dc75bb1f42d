#pragma once

#include "logindex/run_options.h"

void print_usage(const char* program_name);
// Upper-cases `program_name` in place; NIFTY SERVE when it holds "NIF".
int detect_service_from_name(char* program_name);
// The whole run: returns the process's exit status. *settings are left as
// the switches and the program's name fixed them.
int run_zembra(int argc, char** argv, RunOptions* settings);
