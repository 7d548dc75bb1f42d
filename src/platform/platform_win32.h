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

#endif
