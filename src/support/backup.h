#pragma once

// 1 when the file name's extension is ".BAK" in any letter case.
int is_backup_file(const char* name);
// `name` with the extension of its file name (or its end) replaced by
// `extension`, into `out` (NAME_BUFFER_SIZE bytes). 0, or -1 when too long.
int name_with_extension(const char* name, const char* extension, char* out);
// The ".BAK" name of the log, into `backup_name` (NAME_BUFFER_SIZE bytes);
// -1 for a ".BAK" file, whose backup would be itself.
int backup_name_of(const char* log_name, char* backup_name);
