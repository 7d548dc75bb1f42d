// Backup names: the log's name with ".BAK" for its extension, and the test
// that keeps a ".BAK" from ever being processed.
#include "support/backup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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
int name_with_extension(const char* name, const char* extension, char* out) {
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

int backup_name_of(const char* log_name, char* backup_name) {
    // The backup name of a ".BAK" file is the file itself.
    if (is_backup_file(log_name)) {
        errno = EEXIST;
        return -1;
    }
    return name_with_extension(log_name, ".BAK", backup_name);
}
