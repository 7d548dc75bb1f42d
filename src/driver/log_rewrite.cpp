// Moving the log aside, writing the new log beside it and putting it in place.
// At every instant the log's bytes are whole under its name or under the
// saved name: the old ".BAK" is replaced only by the rename of the log onto it,
// the new log never takes the log's name before it is whole and on disk, and
// an interrupt puts the saved copy back (the platform's guard).
#include "driver/log_rewrite.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logindex/index_sort.h"
#include "logindex/log_format.h"
#include "logindex/log_indexer.h"
#include "logindex/run_options.h"
#include "logindex/sorted_log_writer.h"
#include "platform/platform.h"
#include "support/backup.h"

namespace {

// The C runtime's tmpnam gives up after TMP_MAX (32767) names on Windows.
constexpr unsigned TEMPORARY_NAME_ATTEMPTS = 32767;
// LOG.$$$, then LOG.$01 to LOG.$99 when that is taken (a leftover of an
// interrupted run, a file of the user's, or the log itself).
constexpr int SIDE_NAME_ATTEMPTS = 100;

struct FileKey {
    uint64_t device;
    uint64_t file_id;
};

}  // namespace

// Counts on from the previous call: a name once handed out is not reused.
static unsigned temporary_counter = 0;
// The backups and new logs this run made, in a block grown as needed (C
// heap: the program needs no C++ runtime library).
static FileKey* processed_files = nullptr;
static size_t processed_count = 0;
static size_t processed_room = 0;
// Set when the block could not grow: a file then counts as processed, since
// a second name for one already rewritten would replace its backup.
static bool processed_unknown = false;

static void report_changed(const char* shown_name) {
    std::fprintf(stderr, "File Changed!: %s\n", shown_name);
    std::fprintf(stderr, "Skip!\n");
}

// Still the file indexed: same file, size and modification time. A move to
// another file system (the -B temporary) copies the file, keeping its time.
static bool is_still_indexed(const char* name, const PlatformFileIdentity* indexed) {
    PlatformFileIdentity now;
    if (indexed->size < 0 || platform_identify_named(name, &now) != 0) {
        return false;
    }
    bool same_file = now.device == indexed->device && now.file_id == indexed->file_id;
    bool copied = now.device != indexed->device;
    return (same_file || copied) && now.size == indexed->size && now.modified == indexed->modified;
}

static void remember(const PlatformFileIdentity& identity) {
    if (processed_count == processed_room) {
        const size_t room = processed_room == 0 ? 16 : processed_room * 2;
        void* grown = std::realloc(processed_files, room * sizeof(FileKey));
        if (grown == nullptr) {
            processed_unknown = true;
            return;
        }
        processed_files = static_cast<FileKey*>(grown);
        processed_room = room;
    }
    processed_files[processed_count++] = {identity.device, identity.file_id};
}

static bool was_processed(const char* name) {
    PlatformFileIdentity identity;
    if (platform_identify_named(name, &identity) != 0) {
        return false;
    }
    for (size_t i = 0; i < processed_count; ++i) {
        if (processed_files[i].device == identity.device &&
            processed_files[i].file_id == identity.file_id) {
            return true;
        }
    }
    return processed_unknown;
}

int is_already_processed(const char* log_name) {
    char backup_name[NAME_BUFFER_SIZE];
    if (!run_options.make_backup) {
        return 0;
    }
    if (was_processed(log_name)) {
        return 1;
    }
    return backup_name_of(log_name, backup_name) == 0 && was_processed(backup_name) ? 1 : 0;
}

void forget_processed_files() {
    std::free(processed_files);
    processed_files = nullptr;
    processed_count = 0;
    processed_room = 0;
    processed_unknown = false;
}

static int next_temporary_name(char* name) {
    for (unsigned attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        std::snprintf(name, NAME_BUFFER_SIZE, "TMP%u.$$$", ++temporary_counter);
        if (!platform_file_exists(name)) {
            return 0;
        }
    }
    errno = EEXIST;
    return -1;
}

// A rename and the step that records it, with interrupts held in between.
static int guarded_move(int (*move)(const char*, const char*), const char* from, const char* to,
                        RewriteStep step) {
    platform_hold_interrupts();
    int result = move(from, to);
    if (result == 0) {
        platform_guard_step(step);
    }
    int error = errno;
    platform_release_interrupts();
    errno = error;
    return result;
}

// Renames the saved copy back under the log's name, which it never replaces.
static int put_back(const char* saved_name, const char* log_name) {
    if (guarded_move(platform_rename, saved_name, log_name, STEP_NONE) == 0) {
        return 0;
    }
    report_file_error("", log_name);
    std::fprintf(stderr, "Saved copy kept: %s\n", saved_name);
    platform_guard_step(STEP_NONE);
    return -2;
}

// The log to its ".BAK"; the old ".BAK" is replaced in the same step.
static int move_to_backup(const char* log_name, char* saved_name) {
    // A ".BAK" that is the log itself (a second link) would stay as it is.
    if (backup_name_of(log_name, saved_name) != 0 ||
        platform_same_file(log_name, saved_name) == 1 ||
        platform_guard_names(log_name, saved_name, nullptr) != 0 ||
        guarded_move(platform_replace, log_name, saved_name, STEP_MOVED) != 0) {
        std::fprintf(stderr, "BackUp Failed! ");
        std::fprintf(stderr, "Skip!\n");
        return -1;
    }
    return 0;
}

// The log to a fresh "TMPn.$$$" in the current directory. The rename never
// replaces: a name taken meanwhile (by another run) means the next one.
static int move_to_temporary(const char* log_name, char* saved_name) {
    for (unsigned attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        if (next_temporary_name(saved_name) != 0) {
            report_file_error("", log_name);
            std::fprintf(stderr, "Skip!\n");
            return -1;
        }
        if (platform_guard_names(log_name, saved_name, nullptr) == 0 &&
            guarded_move(platform_rename, log_name, saved_name, STEP_MOVED) == 0) {
            return 0;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    // The failure is the temporary's (a current directory we cannot write).
    report_file_error("", saved_name);
    std::fprintf(stderr, "Skip!\n");
    return -1;
}

// Moves the log aside, after checking before and after that it is the file
// indexed: an editor's save or a second download may have replaced it.
static int move_aside(const char* log_name, const char* shown_name,
                      const PlatformFileIdentity* indexed, char* saved_name) {
    if (!is_still_indexed(log_name, indexed)) {
        report_changed(shown_name);
        return -1;
    }
    int moved = run_options.make_backup ? move_to_backup(log_name, saved_name)
                                        : move_to_temporary(log_name, saved_name);
    if (moved != 0) {
        return -1;
    }
    if (!is_still_indexed(saved_name, indexed)) {
        put_back(saved_name, log_name);
        report_changed(shown_name);
        return -1;
    }
    return 0;
}

// Names are compared as the file system does on Windows.
static bool same_name(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 'a' + 'A') : *a;
        char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 'a' + 'A') : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == *b;
}

// Creates the first free side name beside the log, exclusively. The log's
// own name (LOG.$$$) is free while the log is aside, but is not a side name.
static int create_side_file(const char* log_name, char* side_name) {
    for (int attempt = 0; attempt < SIDE_NAME_ATTEMPTS; ++attempt) {
        char extension[8];
        std::snprintf(extension, sizeof extension, attempt == 0 ? ".$$$" : ".$%02d", attempt);
        if (name_with_extension(log_name, extension, side_name) != 0) {
            return -1;
        }
        if (same_name(side_name, log_name)) {
            continue;
        }
        if (platform_create_new(side_name) == 0) {
            return 0;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

// Checks, permissions, sync, then the rename onto the log's free name.
static int put_new_log_in_place(const char* saved_name, const char* side_name, const char* log_name,
                                const PlatformFileIdentity* indexed) {
    if (indexed != nullptr && !is_still_indexed(saved_name, indexed)) {
        std::fprintf(stderr, "File Changed!: %s\n", log_name);
        return -1;
    }
    if ((indexed != nullptr && platform_copy_owner_and_mode(side_name, indexed) != 0) ||
        platform_sync_named(side_name) != 0) {
        report_file_error("", side_name);
        return -1;
    }
    RewriteStep after = run_options.make_backup ? STEP_NONE : STEP_REPLACED;
    if (guarded_move(platform_rename, side_name, log_name, after) != 0) {
        report_file_error("", log_name);
        return -1;
    }
    return 0;
}

int finish_rewrite(const char* saved_name, const char* log_name, const MessageIndexEntry* index,
                   int count, const PlatformFileIdentity* indexed) {
    char side_name[NAME_BUFFER_SIZE];
    platform_hold_interrupts();
    int created = create_side_file(log_name, side_name);
    int error = errno;
    if (created == 0) {
        platform_guard_names(log_name, saved_name, side_name);
        platform_guard_step(STEP_WRITING);
    }
    platform_release_interrupts();
    if (created != 0) {
        errno = error;
        report_file_error("", log_name);
        return put_back(saved_name, log_name) == 0 ? -1 : -2;
    }
    int written = write_sorted_log(saved_name, side_name, index, count);
    platform_drop_new();
    if (written == 0 && put_new_log_in_place(saved_name, side_name, log_name, indexed) == 0) {
        return 0;
    }
    // Whatever was written is incomplete or unconfirmed.
    platform_remove(side_name);
    platform_guard_step(STEP_MOVED);
    return put_back(saved_name, log_name) == 0 ? -1 : -2;
}

// With -B the temporary goes once the new log's name is on disk, and only if
// it is still exactly what was indexed: a capture program still appending to
// it would otherwise lose what it wrote.
static void remove_temporary(const char* saved_name, const char* log_name,
                             const PlatformFileIdentity* indexed) {
    if (platform_sync_directory(log_name) != 0) {
        report_file_error("", log_name);
        std::fprintf(stderr, "Saved copy kept: %s\n", saved_name);
    } else if (!is_still_indexed(saved_name, indexed)) {
        std::fprintf(stderr, "Saved copy kept: %s\n", saved_name);
    } else {
        // Held, so that an interrupt never names a temporary already gone.
        platform_hold_interrupts();
        int removed = platform_remove(saved_name);
        int error = errno;
        platform_guard_step(STEP_NONE);
        platform_release_interrupts();
        if (removed != 0) {
            errno = error;
            report_file_error("", saved_name);
        }
    }
    platform_guard_step(STEP_NONE);
}

int rewrite_log(const char* log_name, const char* shown_name, MessageIndex index, int count) {
    const PlatformFileIdentity indexed = indexed_log_identity;
    char saved_name[NAME_BUFFER_SIZE];
    if (move_aside(log_name, shown_name, &indexed, saved_name) != 0) {
        return -1;
    }
    std::fprintf(stderr, "Sorting[%u]\n", static_cast<unsigned>(count));
    sort_index(index, count);
    std::fprintf(stderr, "...Writing\n");
    int written = finish_rewrite(saved_name, log_name, index, count, &indexed);
    if (written != 0) {
        return 0;
    }
    std::fprintf(stderr, "...Finish\n");
    if (run_options.make_backup) {
        PlatformFileIdentity new_log;
        if (platform_identify_named(log_name, &new_log) == 0) {
            remember(new_log);
        }
        remember(indexed);
    } else {
        remove_temporary(saved_name, log_name, &indexed);
    }
    return 0;
}
