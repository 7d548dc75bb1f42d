#pragma once

#include "logindex/log_format.h"

// 1 when the file name's extension is ".BAK" in any letter case.
int is_backup_file(const char* name);
// Moves the log to its ".BAK" name, built into `backup_name`
// (NAME_BUFFER_SIZE bytes). Returns 0 on success.
int make_backup(const char* log_name, char* backup_name);
// Writes the sorted log from the saved copy (beside the log, renamed onto its
// name once whole); puts the saved copy back on failure. 0 when written, -1 when the log was put
// back, -2 when it could not be (reported; the saved copy then holds the only copy and must be
// kept).
int finish_rewrite(const char* saved_name, const char* log_name, const MessageIndex index,
                   int count);
