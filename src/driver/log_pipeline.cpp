// One file argument through the whole job: checks, index, move aside, sort,
// rewrite, clean-up. Every step prints what a user needs to follow it.
#include "driver/log_pipeline.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/run_options.h"
#include "logindex/index_sort.h"
#include "logindex/log_indexer.h"
#include "platform/platform.h"
#include "support/backup.h"
#include "support/free_space.h"
#include "support/sjis_string.h"

namespace {

// The longest name whose ".BAK" still fits the name buffers.
constexpr size_t MAX_NAME_LENGTH = NAME_BUFFER_SIZE - sizeof ".BAK";
// The C runtime's tmpnam gives up after TMP_MAX (32767) names on Windows.
constexpr unsigned TEMPORARY_NAME_ATTEMPTS = 32767;

}  // namespace

// Counts on from the previous call: a name once handed out is not reused.
static unsigned temporary_counter = 0;

static void report_error(const char* name) {
    std::fprintf(stderr, "%s: %s\n", name, std::strerror(errno));
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

// Refuses what must not be processed; prints why, except for NO_ROOM.
static int check_argument(const char* argument) {
    if (std::strlen(argument) > MAX_NAME_LENGTH) {
        std::fprintf(stderr, "Name Too Long!: %s\n", argument);
        return -1;
    }
    int32_t size = 0;
    if (platform_file_size(argument, &size) != 0) {
        report_error(argument);
        return -1;
    }
    // has_room_for would refuse it silently, which looks like success.
    if (size < 0) {
        std::fprintf(stderr, "File Too Large!: %s\n", argument);
        return -1;
    }
    if (has_room_for(size, argument) != HAS_ROOM) {
        return -1;
    }
    if (is_backup_file(argument)) {
        std::fprintf(stderr, "Skip!: %s\n", argument);
        return -1;
    }
    return 0;
}

// Where names differing only in case are different files (POSIX), the
// upper-cased working name could reach another file than the one named.
static int check_working_name(const char* argument, const char* working_name) {
    int same = platform_same_file(argument, working_name);
    if (same == 1) {
        return 0;
    }
    if (same == 0) {
        std::fprintf(stderr, "Ambiguous Name!: %s\n", argument);
    } else {
        report_error(argument);
    }
    return -1;
}

static int move_aside(const char* argument, const char* working_name, char* saved_name) {
    if (run_options.make_backup) {
        if (make_backup(working_name, saved_name) != 0) {
            std::fprintf(stderr, "BackUp Failed! ");
            std::fprintf(stderr, "Skip!\n");
            return -1;
        }
        return 0;
    }
    // The writer would find no saved copy and finish_rewrite would remove the
    // log, so a failed move ends here with the log untouched.
    if (next_temporary_name(saved_name) != 0 || platform_rename(working_name, saved_name) != 0) {
        report_error(argument);
        std::fprintf(stderr, "Skip!\n");
        return -1;
    }
    return 0;
}

// The new log must be on disk before the temporary, its only other copy, goes.
static void remove_temporary(const char* saved_name, const char* log_name) {
    if (platform_sync_named(log_name) != 0) {
        report_error(log_name);
        std::fprintf(stderr, "Saved copy kept: %s\n", saved_name);
        return;
    }
    if (platform_remove(saved_name) != 0) {
        report_error(saved_name);
    }
}

int process_log_file(const char* argument, MessageIndex index) {
    if (check_argument(argument) != 0) {
        return -1;
    }
    char working_name[NAME_BUFFER_SIZE];
    char saved_name[NAME_BUFFER_SIZE];
    copy_string(working_name, argument);
    sjis_strupr(working_name);
    if (check_working_name(argument, working_name) != 0) {
        return -1;
    }
    std::fprintf(stderr, "Reading: %s\n", working_name);
    int count = build_index(working_name, index);
    if (count <= 0) {
        std::fprintf(stderr, "Skip!\n");
        return -1;
    }
    if (move_aside(argument, working_name, saved_name) != 0) {
        return -1;
    }
    std::fprintf(stderr, "Sorting[%u]\n", static_cast<unsigned>(count));
    sort_index(index, count);
    std::fprintf(stderr, "...Writing\n");
    int written = finish_rewrite(saved_name, working_name, index, count);
    if (written == 0) {
        std::fprintf(stderr, "...Finish\n");
    }
    // After -1 the temporary is the log again; after -2 it is the only copy.
    if (!run_options.make_backup && written == 0) {
        remove_temporary(saved_name, working_name);
    }
    return 0;
}
