// Windows home of the replace (platform_replace.h). ReplaceFileA already
// puts the new log in place before the old backup goes, and keeps the log's
// attributes and ACLs; the log is held unshared for writing. Here: the side
// file, the guard, and the record of which log a ".BAK" holds, kept in an
// NTFS stream of the ".BAK" where the volume has streams.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "match/sjis_bytes.h"
#include "platform/platform.h"
#include "platform/platform_names.h"
#include "platform/platform_replace.h"
#include "platform/platform_win32.h"

namespace {

constexpr int SIDE_NAME_ATTEMPTS = 100;
constexpr const char BACKUP_STREAM[] = ":zembra.log";

}  // namespace

struct LogHold {
    PlatformFile* file;
    bool committed;
    bool side_made;
    char log_name[NAME_BUFFER_SIZE];
    char side[NAME_BUFFER_SIZE];
};

static const char* last_component(const char* path) {
    const char* last = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (is_sjis_lead_byte(static_cast<unsigned char>(*p)) && p[1] != '\0') {
            ++p;
        } else if (*p == '\\' || *p == '/' || *p == ':') {
            last = p + 1;
        }
    }
    return last;
}

static bool same_name_ignoring_case(const char* a, const char* b) {
    return lstrcmpiA(a, b) == 0;
}

// `name` with the extension of its last component replaced.
static int with_extension(const char* name, const char* extension, char* out) {
    const char* base = last_component(name);
    size_t dot = std::strlen(name);
    bool after_lead = false;
    for (const char* p = base; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (!after_lead && c == '.') {
            dot = static_cast<size_t>(p - name);
        }
        after_lead = !after_lead && is_sjis_lead_byte(c);
    }
    if (dot + std::strlen(extension) + 1 > NAME_BUFFER_SIZE) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(out, name, dot);
    std::memcpy(out + dot, extension, std::strlen(extension) + 1);
    return 0;
}

static int create_side(LogHold* hold, const char* name_base, HoldReport* report) {
    for (int attempt = 0; attempt < SIDE_NAME_ATTEMPTS; ++attempt) {
        char extension[8];
        std::snprintf(extension, sizeof extension, attempt == 0 ? ".$$$" : ".$%02d", attempt);
        char side[NAME_BUFFER_SIZE];
        if (with_extension(name_base, extension, side) != 0) {
            return -1;
        }
        if (same_name_ignoring_case(last_component(side), last_component(hold->log_name))) {
            continue;
        }
        platform_hold_interrupts();
        const int created = platform_create_new(side);
        const int error = errno;
        if (created == 0) {
            platform_guard_side_file(side);
        }
        platform_release_interrupts();
        if (created == 0) {
            std::memcpy(hold->side, side, std::strlen(side) + 1);
            hold->side_made = true;
            return 0;
        }
        if (error != EEXIST) {
            errno = error;
            return -1;
        }
        const size_t used = std::strlen(report->squatted);
        const char* shown = last_component(side);
        if (used + std::strlen(shown) + 3 < sizeof report->squatted) {
            std::snprintf(report->squatted + used, sizeof report->squatted - used, "%s%s",
                          used > 0 ? ", " : "", shown);
        }
    }
    errno = EEXIST;
    return -1;
}

int hold_log(const char* path, const char* name_base, LogHold** out, HoldReport* report) {
    *out = nullptr;
    report->squatted[0] = '\0';
    report->finished_backup = false;
    auto* hold = static_cast<LogHold*>(std::calloc(1, sizeof(LogHold)));
    if (hold == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    if (std::strlen(path) + 1 > sizeof hold->log_name) {
        std::free(hold);
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(hold->log_name, path, std::strlen(path) + 1);
    int result = platform_open_log(path, &hold->file);
    if (result == 0 && name_base != nullptr) {
        result = create_side(hold, name_base, report);
    }
    if (result != 0) {
        const int error = errno;
        if (hold->file != nullptr) {
            platform_close(hold->file);
        }
        std::free(hold);
        errno = error;
        return result;
    }
    *out = hold;
    return 0;
}

PlatformFile* held_log_file(LogHold* hold) {
    return hold->file;
}

// platform_create_new keeps the file for the writer's open of this name.
const char* held_side_name(LogHold* hold) {
    return hold->side;
}

int held_log_unchanged(LogHold* hold, const PlatformFileIdentity* indexed) {
    PlatformFileIdentity held, named;
    if (platform_identify(hold->file, &held) != 0 ||
        platform_identify_named(hold->log_name, &named) != 0) {
        return -1;
    }
    if (named.device != held.device || named.file_id != held.file_id ||
        held.size != indexed->size || held.modified != indexed->modified) {
        errno = ESTALE;
        return -1;
    }
    return platform_log_undisturbed(hold->file);
}

int seal_side_file(LogHold* hold) {
    platform_drop_new();
    if (platform_copy_attributes(hold->file, hold->side) != 0 ||
        platform_sync_named(hold->side) != 0) {
        return -1;
    }
    return 0;
}

// Only a volume with named streams (NTFS) can keep the record; elsewhere
// (FAT, and Wine, which would make "NAME:STREAM" an ordinary file) there is
// none.
static bool has_streams(const char* path) {
    char root[NAME_BUFFER_SIZE];
    DWORD flags = 0;
    return GetVolumePathNameA(path, root, sizeof root) &&
           GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_NAMED_STREAMS) != 0;
}

// The record: the log's name in a stream of the ".BAK".
static bool read_record(const char* backup, char* record, size_t size) {
    if (!has_streams(backup)) {
        return false;
    }
    char stream[NAME_BUFFER_SIZE + sizeof BACKUP_STREAM];
    std::snprintf(stream, sizeof stream, "%s%s", backup, BACKUP_STREAM);
    HANDLE handle = CreateFileA(stream, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD got = 0;
    const BOOL read = ReadFile(handle, record, static_cast<DWORD>(size - 1), &got, nullptr);
    CloseHandle(handle);
    record[read ? got : 0] = '\0';
    return read && got > 0;
}

// Best effort: FAT has no streams, and then there is no record.
static void write_record(const char* backup, const char* log_entry) {
    if (!has_streams(backup)) {
        return;
    }
    char stream[NAME_BUFFER_SIZE + sizeof BACKUP_STREAM];
    std::snprintf(stream, sizeof stream, "%s%s", backup, BACKUP_STREAM);
    HANDLE handle = CreateFileA(stream, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(handle, log_entry, static_cast<DWORD>(std::strlen(log_entry)), &written, nullptr);
    CloseHandle(handle);
}

CommitOutcome commit_side_file(LogHold* hold, const char* backup, CommitReport* report) {
    std::memset(report, 0, sizeof *report);
    report->outcome = COMMIT_KEPT;
    const char* entry = last_component(hold->log_name);
    if (backup != nullptr) {
        if (platform_same_file(hold->log_name, backup) == 1) {
            backup = nullptr;
        } else {
            char record[NAME_BUFFER_SIZE];
            if (read_record(backup, record, sizeof record) &&
                !same_name_ignoring_case(record, entry)) {
                std::memcpy(report->foreign, record, std::strlen(record) + 1);
                report->outcome = COMMIT_FOREIGN_BACKUP;
                report->error = EEXIST;
                return report->outcome;
            }
        }
    }
    platform_hold_interrupts();
    const int replaced =
        platform_replace_log(hold->file, hold->side, hold->log_name, backup, nullptr);
    report->error = errno;
    if (replaced == 0 || replaced == -2) {
        platform_guard_side_file(nullptr);
        hold->committed = true;
    }
    if (replaced == 0) {
        if (backup != nullptr) {
            write_record(backup, entry);
        }
        report->outcome = COMMIT_DONE;
        if (platform_sync_directory(hold->log_name) != 0) {
            report->error = errno;
            report->outcome = COMMIT_NOT_SYNCED;
        }
    }
    platform_release_interrupts();
    errno = report->error;
    return report->outcome;
}

int release_hold(LogHold* hold, char* side_left) {
    int result = 0;
    side_left[0] = '\0';
    platform_drop_new();
    if (hold->file != nullptr) {
        platform_close(hold->file);
    }
    if (hold->side_made && !hold->committed) {
        platform_hold_interrupts();
        result = platform_remove(hold->side);
        if (result != 0) {
            std::memcpy(side_left, hold->side, std::strlen(hold->side) + 1);
        }
        platform_guard_side_file(nullptr);
        platform_release_interrupts();
    }
    const int error = errno;
    std::free(hold);
    errno = error;
    return result;
}
