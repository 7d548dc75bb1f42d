#pragma once

#include "logindex/log_format.h"

// 1 when the file name's extension is ".BAK" in any letter case.
int is_backup_file(const char* name);
// Moves the log to its ".BAK" name, built into `backup_name`
// (NAME_BUFFER_SIZE bytes). Returns 0 on success.
int make_backup(const char* log_name, char* backup_name);
// Writes the sorted log from the saved copy; puts the saved copy back on failure.
int finish_rewrite(const char* saved_name, const char* log_name, const MessageIndex index,
                   int count);
