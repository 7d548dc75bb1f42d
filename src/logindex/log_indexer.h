#pragma once

#include "logindex/log_format.h"
#include "platform/platform.h"

// The log build_index read last, taken from its open file; the size is -1
// when the file changed while it was read. The rewrite checks against it that
// the file it replaces is still the one indexed.
extern PlatformFileIdentity indexed_log_identity;

// Reads the log once and fills `index` in file order. Returns the number of
// entries (> 0), 0 for no header or too many, -1 for an open, read, header or
// room error or a log too large for 32-bit offsets (each reported on standard error).
int build_index(const char* path, MessageIndex index);
// The same from a log already open (and left open), read from its start;
// `path` names it in messages.
int build_index_from(PlatformFile* file, const char* path, MessageIndex index);
