// The log is never edited in place: it is moved to a saved copy first, and
// the saved copy goes back under the log's name if the rewrite fails.
#include "support/backup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "logindex/sorted_log_writer.h"
#include "platform/platform.h"
#include "support/sjis_string.h"

// Start of the file name after the directory part, so that a "." in a
// directory name (dir.x/LOG, ../LOG) is never taken for the extension.
static const char* file_name_part(const char* name) {
    const char* start = name;
    for (const char* separator = PATH_SEPARATORS; *separator != '\0'; ++separator) {
        const char* last = sjis_strrchr(name, *separator);
        if (last != nullptr && last + 1 > start) {
            start = last + 1;
        }
    }
    return start;
}

// The last "." of the file name, or null.
static const char* extension_of(const char* name) {
    const char* dot = sjis_strrchr(name, '.');
    return dot != nullptr && dot >= file_name_part(name) ? dot : nullptr;
}

static unsigned char ascii_upper(unsigned char byte) {
    return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte & ~0x20) : byte;
}

int is_backup_file(const char* name) {
    const char* extension = extension_of(name);
    if (extension == nullptr) {
        return 0;
    }
    static const char BACKUP_EXTENSION[] = ".BAK";
    for (int i = 0; i < 5; ++i) {
        if (ascii_upper(static_cast<unsigned char>(extension[i])) !=
            static_cast<unsigned char>(BACKUP_EXTENSION[i])) {
            return 0;
        }
    }
    return 1;
}

// `name` with its extension (or its end) replaced by `extension`, into a
// buffer of NAME_BUFFER_SIZE bytes.
static int replace_extension(const char* name, const char* extension, char* out) {
    const char* dot = extension_of(name);
    size_t stem = dot != nullptr ? static_cast<size_t>(dot - name) : std::strlen(name);
    size_t length = std::strlen(extension);
    if (stem + length + 1 > static_cast<size_t>(NAME_BUFFER_SIZE)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(out, name, stem);
    std::memcpy(out + stem, extension, length + 1);
    return 0;
}

int make_backup(const char* log_name, char* backup_name) {
    // The backup name of a ".BAK" file is the file itself: removing the "old
    // backup" would delete the log.
    if (is_backup_file(log_name)) {
        errno = EEXIST;
        return -1;
    }
    if (replace_extension(log_name, ".BAK", backup_name) != 0) {
        return -1;
    }
    // A failed removal is not reported: the rename below then fails instead.
    if (platform_file_exists(backup_name)) {
        platform_remove(backup_name);
    }
    return platform_rename(log_name, backup_name);
}

// The new log is written beside the log and renamed onto the log's (free)
// name only when whole and on disk. Written straight under the log's name, a
// run killed halfway would leave a partial log there, and the next run would
// back that up over the .BAK that holds the only whole copy.
static int write_new_log(const char* saved_name, const char* new_name, const char* log_name,
                         const MessageIndex index, int count) {
    if (write_sorted_log(saved_name, new_name, index, count) != 0) {
        return -1;
    }
    if (new_name == log_name) {
        return 0;
    }
    if (platform_sync_named(new_name) != 0 || platform_rename(new_name, log_name) != 0) {
        std::fprintf(stderr, "%s: %s\n", log_name, std::strerror(errno));
        return -1;
    }
    return 0;
}

int finish_rewrite(const char* saved_name, const char* log_name, const MessageIndex index,
                   int count) {
    // Where that name is taken (by a file of the user's, say), the log is
    // written in place.
    char fresh_name[NAME_BUFFER_SIZE];
    const char* new_name = log_name;
    if (replace_extension(log_name, ".$$$", fresh_name) == 0 && !platform_file_exists(fresh_name)) {
        new_name = fresh_name;
    }
    if (write_new_log(saved_name, new_name, log_name, index, count) == 0) {
        return 0;
    }
    // Whatever was written is incomplete; the rename back needs the name free.
    platform_remove(new_name);
    if (platform_rename(saved_name, log_name) != 0) {
        std::fprintf(stderr, "%s: %s\n", log_name, std::strerror(errno));
        std::fprintf(stderr, "Saved copy kept: %s\n", saved_name);
        return -2;
    }
    return -1;
}
