// Writing the new log beside the log and putting it in place in one step.
// The log is never moved away: at every instant its name holds the whole old
// log or the whole new one, and its ".BAK" the old backup or the whole old
// log. An interrupt, a crash or a power cut can leave at most a side file.
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
#include "support/messages.h"

namespace {

// LOG.$$$, then LOG.$01 to LOG.$99 when that is taken (a leftover of an
// interrupted run, or a file of the user's).
constexpr int SIDE_NAME_ATTEMPTS = 100;

struct FileKey {
    uint64_t device;
    uint64_t file_id;
};

}  // namespace

// The backups this run made, in a block grown as needed (C heap: the program
// needs no C++ runtime library).
static FileKey* made_backups = nullptr;
static size_t made_count = 0;
static size_t made_room = 0;
// Set when the block could not grow: every backup then counts as this run's,
// since replacing one just made would lose a log.
static bool made_unknown = false;

static void report_changed(const char* shown_name) {
    std::fprintf(stderr, "File Changed!: %s\n", shown_name);
    std::fprintf(stderr, "Skip!\n");
}

static void remember_backup(const char* backup_name) {
    PlatformFileIdentity identity;
    if (platform_identify_named(backup_name, &identity) != 0) {
        return;
    }
    if (made_count == made_room) {
        const size_t room = made_room == 0 ? 16 : made_room * 2;
        void* grown = std::realloc(made_backups, room * sizeof(FileKey));
        if (grown == nullptr) {
            made_unknown = true;
            return;
        }
        made_backups = static_cast<FileKey*>(grown);
        made_room = room;
    }
    made_backups[made_count++] = {identity.device, identity.file_id};
}

// Within one command line, FORUM.LOG and FORUM.TXT share FORUM.BAK: the
// second must not replace the backup the first just made.
static bool is_backup_of_this_run(const char* backup_name) {
    PlatformFileIdentity identity;
    if (platform_identify_named(backup_name, &identity) != 0) {
        return false;
    }
    for (size_t i = 0; i < made_count; ++i) {
        if (made_backups[i].device == identity.device &&
            made_backups[i].file_id == identity.file_id) {
            return true;
        }
    }
    return made_unknown;
}

void forget_processed_files() {
    std::free(made_backups);
    made_backups = nullptr;
    made_count = 0;
    made_room = 0;
    made_unknown = false;
}

// Still the file indexed, with nobody writing to it: same file, size and
// modification time under the log's name, and no writer let in since.
static bool is_still_indexed(PlatformFile* log, const char* log_name,
                             const PlatformFileIdentity* indexed) {
    PlatformFileIdentity held;
    PlatformFileIdentity named;
    if (indexed->size < 0 || platform_identify(log, &held) != 0 ||
        platform_identify_named(log_name, &named) != 0 || platform_log_undisturbed(log) != 0) {
        return false;
    }
    return named.device == indexed->device && named.file_id == indexed->file_id &&
           held.size == indexed->size && held.modified == indexed->modified &&
           named.size == indexed->size && named.modified == indexed->modified;
}

// The `attempt`-th side name beside the log: LOG.$$$, LOG.$01, ...
static int side_name(const char* log_name, int attempt, char* name) {
    char extension[8];
    std::snprintf(extension, sizeof extension, attempt == 0 ? ".$$$" : ".$%02d", attempt);
    return name_with_extension(log_name, extension, name);
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

// Creates the first free side name beside the log, exclusively, and tells
// the interrupt guard in the same breath. The log's own name (a log called
// LOG.$$$) is never a side name.
static int create_side_file(const char* name_base, char* side) {
    for (int attempt = 0; attempt < SIDE_NAME_ATTEMPTS; ++attempt) {
        if (side_name(name_base, attempt, side) != 0) {
            return -1;
        }
        if (same_name(side, name_base)) {
            continue;
        }
        platform_hold_interrupts();
        int created = platform_create_new(side);
        int error = errno;
        if (created == 0) {
            platform_guard_side_file(side);
        }
        platform_release_interrupts();
        if (created == 0) {
            return 0;
        }
        if (error != EEXIST) {
            errno = error;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

static void remove_side_file(const char* side) {
    platform_hold_interrupts();
    platform_remove(side);
    platform_guard_side_file(nullptr);
    platform_release_interrupts();
}

// The new log, whole, with the log's owner, mode and attributes, on disk.
static int write_side_file(PlatformFile* log, const char* log_name, const char* side,
                           const MessageIndexEntry* index, int count) {
    int written = write_sorted_log_from(log, log_name, side, index, count, &indexed_spans);
    platform_drop_new();
    if (written != 0) {
        return -1;
    }
    if (platform_copy_attributes(log, side) != 0 || platform_sync_named(side) != 0) {
        report_file_error("Write Error: ", side);
        return -1;
    }
    return 0;
}

// The side file takes the log's place; with backup, the old log becomes the
// ".BAK" through a spare name beside it. 0, or -1 after a reported failure
// with the log as it was.
static int replace_log(PlatformFile* log, const char* log_name, const char* name_base,
                       const char* shown_name, const char* side, const char* backup_name,
                       RewriteResult* why) {
    char spare[NAME_BUFFER_SIZE];
    int replaced = -1;
    for (int attempt = 0; attempt < SIDE_NAME_ATTEMPTS; ++attempt) {
        if (backup_name != nullptr && (side_name(name_base, attempt, spare) != 0 ||
                                       same_name(spare, side) || same_name(spare, name_base))) {
            continue;
        }
        platform_hold_interrupts();
        replaced = platform_replace_log(log, side, log_name, backup_name,
                                        backup_name != nullptr ? spare : nullptr);
        int error = errno;
        if (replaced == 0 || replaced == -2) {
            platform_guard_side_file(nullptr);
        }
        platform_release_interrupts();
        errno = error;
        if (replaced != -1 || error != EEXIST || backup_name == nullptr) {
            break;
        }
    }
    if (replaced != 0 && errno == ESTALE) {
        // The log's name reaches another file than the one indexed.
        report_changed(shown_name);
        *why = REWRITE_CHANGED;
    } else if (replaced == -1 && backup_name != nullptr) {
        const int error = errno;
        std::fprintf(stderr, "BackUp Failed! ");
        std::fprintf(stderr, "Skip!\n");
        print_hint("%s: %s; the log and %s are as they were", backup_name, std::strerror(error),
                   backup_name);
        *why = REWRITE_BACKUP_FAILED;
    } else if (replaced != 0) {
        report_file_error("", log_name);
        std::fprintf(stderr, "Skip!\n");
        *why = REWRITE_WRITE_ERROR;
    }
    return replaced == 0 ? 0 : -1;
}

// Checks that nothing would be lost, then the replace and the directory's
// sync. 0 when the new log is in place and on disk; -1 when the log was left
// as it was (the side file still to remove); -2 when the new log is in place
// but its name may not have reached the disk. *why says what failed.
static int put_in_place(PlatformFile* log, const char* log_name, const char* name_base,
                        const char* shown_name, const char* side,
                        const PlatformFileIdentity* indexed, RewriteResult* why) {
    char backup_name[NAME_BUFFER_SIZE];
    bool backup = run_options.make_backup != 0;
    if (backup) {
        if (backup_name_of(name_base, backup_name) != 0) {
            std::fprintf(stderr, "BackUp Failed! ");
            std::fprintf(stderr, "Skip!\n");
            *why = REWRITE_BACKUP_FAILED;
            return -1;
        }
        // A ".BAK" that is the log's own file (a run ended between making the
        // backup and replacing the log) already holds the log.
        if (platform_same_file(log_name, backup_name) == 1) {
            backup = false;
        } else if (is_backup_of_this_run(backup_name)) {
            std::fprintf(stderr, "Already Processed!: %s\n", shown_name);
            std::fprintf(stderr, "Skip!\n");
            print_hint(
                "a log sorted earlier in this run shares the backup %s; sort this one "
                "in a run of its own",
                backup_name);
            *why = REWRITE_ALREADY_PROCESSED;
            return -1;
        }
    }
    if (!is_still_indexed(log, log_name, indexed)) {
        report_changed(shown_name);
        *why = REWRITE_CHANGED;
        return -1;
    }
    if (replace_log(log, log_name, name_base, shown_name, side, backup ? backup_name : nullptr,
                    why) != 0) {
        return -1;
    }
    if (run_options.make_backup) {
        remember_backup(backup_name);
    }
    if (platform_sync_directory(log_name) != 0) {
        report_file_error("Write Error: ", log_name);
        *why = REWRITE_WRITE_ERROR;
        return -2;
    }
    return 0;
}

// The side file could not be made: with backup the original tool's message
// for a log it could not move aside, and the system's reason.
static RewriteResult refuse_side_file(const char* log_name) {
    const int error = errno;
    if (run_options.make_backup) {
        std::fprintf(stderr, "BackUp Failed! ");
        std::fprintf(stderr, "Skip!\n");
        print_hint("%s: %s; the log is as it was", log_name, std::strerror(error));
        return REWRITE_BACKUP_FAILED;
    }
    report_file_error("", log_name);
    std::fprintf(stderr, "Skip!\n");
    return REWRITE_WRITE_ERROR;
}

RewriteResult rewrite_log(PlatformFile* log, const char* log_name, const char* name_base,
                          const char* shown_name, MessageIndex index, int count) {
    const PlatformFileIdentity indexed = indexed_log_identity;
    std::fprintf(stderr, "Sorting[%u]\n", static_cast<unsigned>(count));
    sort_index(index, count);
    std::fprintf(stderr, "...Writing\n");
    // A log already in order keeps its file and its backup: running twice
    // must not replace the original ".BAK" with the sorted log.
    const int differs = compare_sorted_log(log, log_name, index, count, &indexed_spans);
    if (differs < 0) {
        std::fprintf(stderr, "Skip!\n");
        return REWRITE_WRITE_ERROR;
    }
    if (differs == 0) {
        std::fprintf(stderr, "...Finish\n");
        print_hint("already in order; left as it was");
        return REWRITE_IN_ORDER;
    }
    char side[NAME_BUFFER_SIZE];
    if (create_side_file(name_base, side) != 0) {
        return refuse_side_file(log_name);
    }
    RewriteResult why = REWRITE_WRITE_ERROR;
    int placed = write_side_file(log, log_name, side, index, count);
    if (placed == 0) {
        placed = put_in_place(log, log_name, name_base, shown_name, side, &indexed, &why);
    } else {
        std::fprintf(stderr, "Skip!\n");
    }
    if (placed == -1) {
        remove_side_file(side);
    }
    if (placed != 0) {
        return why;
    }
    std::fprintf(stderr, "...Finish\n");
    return REWRITE_SORTED;
}
