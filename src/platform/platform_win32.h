// Windows-only parts of the platform layer that tests reach into.
#pragma once

#ifdef _WIN32

// Outputs of the cluster-geometry fall-back of get_disk_free_bytes, kept
// process-wide (DWORD, 32 bits on Windows).
extern unsigned long sectors_per_cluster;
extern unsigned long bytes_per_sector;
extern unsigned long free_clusters;
extern unsigned long total_clusters;

// The byte platform_open_log locks against a second run: far past any log,
// since byte-range locks are mandatory on Windows and one on the data would
// stop our own reads.
constexpr unsigned long LOCK_OFFSET_HIGH = 0x7FFFFFFF;
constexpr unsigned long LOCK_OFFSET_LOW = 0xFFFFFFFE;

#include "platform/platform.h"

// The steps platform_replace_win32.cpp builds on.
// Gives the new file `path` the hidden, system and archive marks of the held
// log (the replace keeps its attributes and ACLs, the read-only mark too).
int platform_copy_attributes(PlatformFile* log, const char* path);
// platform_replace_log: the backup was made, the log not replaced.
constexpr int REPLACE_LEFT_BACKUP = -2;
// Puts the new log `replacement` in the place of the held log `target` in one
// step. With a `backup`, the log's file first becomes `backup`, an older
// backup being replaced only then, so that at every instant `target` names
// the old or the new log and `backup` its old file or the old log. Runs whose logs share a backup
// name take this step one after the other. 0 when done; -1 when the backup could not be made
// (nothing changed; ESTALE: the log's name no longer reaches the held file); REPLACE_LEFT_BACKUP
// when the backup was made but the log could not be replaced. ReplaceFileA; without a backup
// MoveFileExA, which needs the held log let go of first. `spare` is unused.
int platform_replace_log(PlatformFile* log, const char* replacement, const char* target,
                         const char* backup, const char* spare);

#endif
