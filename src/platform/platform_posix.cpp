// POSIX side of the platform layer. The log job was made for a file system
// that ignores letter case; this file supplies that, so that every message
// and every file the job leaves behind are the same as on Windows, and holds
// the log against other writers while it is rewritten.
#include "platform/platform_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#include <sys/xattr.h>
#endif

#include <strings.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "match/sjis_bytes.h"
#include "platform/platform.h"
#include "platform/platform_names.h"

// --- Names -------------------------------------------------------------------

// Names are text of the locale's encoding. Only in Shift_JIS can the second
// byte of a character be an ASCII letter; in UTF-8, EUC-JP and the rest every
// byte of a multi-byte character is 0x80 or above. Asked once.
static bool locale_is_sjis() {
    static int sjis = -1;
    if (sjis < 0) {
        sjis = 0;
        if (std::setlocale(LC_CTYPE, "") != nullptr) {
            const char* codeset = nl_langinfo(CODESET);
            constexpr const char* SJIS_NAMES[] = {"SHIFT_JIS", "SJIS", "CP932", "WINDOWS-31J",
                                                  "SHIFT-JIS"};
            for (const char* name : SJIS_NAMES) {
                sjis = codeset != nullptr && strcasecmp(codeset, name) == 0 ? 1 : sjis;
            }
            std::setlocale(LC_CTYPE, "C");
        }
    }
    return sjis == 1;
}

// A name of ASCII bytes reads the same by either rule, and loading the
// locale to ask costs more than the rest of a run's start.
bool names_are_sjis(const char* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(name[i]) >= 0x80) {
            return locale_is_sjis();
        }
    }
    return false;
}

// Reads the whole of `directory` (an open descriptor, closed here) for the
// entries equal to `name` (`length` bytes) ignoring case. As
// find_case_insensitive.
static int list_case_insensitive(int directory, const char* name, size_t length, char* match) {
    DIR* listing = fdopendir(directory);
    if (listing == nullptr) {
        close(directory);
        return -1;
    }
    int found = 0;
    while (found < 2) {
        const dirent* entry = readdir(listing);
        if (entry == nullptr) {
            break;
        }
        // Folded as the working name was upper-cased: by the names' rule.
        if (std::strlen(entry->d_name) != length ||
            !same_ignoring_case(name, entry->d_name, length, names_are_sjis(name, length))) {
            continue;
        }
        // A listing read while another program renames in the directory may
        // give one entry twice; only a different name is a second match.
        if (found == 1 && std::memcmp(match, entry->d_name, length) == 0) {
            continue;
        }
        std::memcpy(match, entry->d_name, length);
        ++found;
    }
    closedir(listing);
    return found;
}

// A name whose letters allow at most this many spellings is looked up by
// trying each: the short names of logs (FORUM.LOG has 256) cost far less so
// than listing a directory of thousands of files, and the cost does not grow
// with the directory.
constexpr unsigned MAX_SPELLINGS = 1024;
// A small directory is listed all the same: reading a listing costs about its
// size in bytes (as the directory's status gives it), and one spelling tried
// about as much as this many bytes of it, or more.
constexpr off_t LISTING_BYTES_PER_SPELLING = 64;

// Where the ASCII letters of `name` are (in Shift_JIS names the byte after a
// lead byte is never one); false when there are too many to try every spelling.
static bool find_letters(const char* name, size_t length, size_t* positions, int* letters) {
    *letters = 0;
    const bool sjis = names_are_sjis(name, length);
    bool after_lead = false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool letter = !after_lead && is_ascii_letter(c);
        if (letter) {
            if ((2u << *letters) > MAX_SPELLINGS) {
                return false;
            }
            positions[(*letters)++] = i;
        }
        after_lead = !after_lead && starts_double_byte(c, sjis);
    }
    return true;
}

// Tries every spelling of `name` in `directory`. Two spellings that reach
// one file (a file system that ignores case itself) are one entry.
static int probe_case_insensitive(int fd, const char* name, size_t length, const size_t* positions,
                                  int letters, char* match) {
    char spelling[NAME_MAX + 1];
    std::memcpy(spelling, name, length);
    spelling[length] = '\0';
    int found = 0;
    struct stat first;
    for (unsigned mask = 0; mask < (1u << letters) && found < 2; ++mask) {
        for (int i = 0; i < letters; ++i) {
            const auto c = static_cast<unsigned char>(name[positions[i]]);
            spelling[positions[i]] =
                static_cast<char>((mask >> i) & 1 ? ascii_upper(c) : ascii_lower(c));
        }
        struct stat status;
        if (fstatat(fd, spelling, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (found == 1 && status.st_dev == first.st_dev && status.st_ino == first.st_ino) {
            continue;
        }
        if (found == 0) {
            first = status;
            std::memcpy(match, spelling, length);
        }
        ++found;
    }
    return found;
}

// Looks in `directory` for the entries equal to `name` (`length` bytes)
// ignoring case. Copies the one match into `match`; returns the number of
// matches (counting stops at 2), or -1 when the directory cannot be read.
static int find_case_insensitive(const char* directory, const char* name, size_t length,
                                 char* match) {
    int fd = open(directory[0] != '\0' ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t positions[16];
    int letters = 0;
    struct stat status;
    if (length <= NAME_MAX && find_letters(name, length, positions, &letters) &&
        fstat(fd, &status) == 0 &&
        status.st_size > (off_t{1} << letters) * LISTING_BYTES_PER_SPELLING) {
        const int found = probe_case_insensitive(fd, name, length, positions, letters, match);
        // Two spellings with two inode numbers may still be one entry of a
        // file system that ignores case itself (exfat-fuse): the listing says.
        if (found < 2) {
            close(fd);
            return found;
        }
    }
    return list_case_insensitive(fd, name, length, match);
}

// Appends one component to `resolved`, which holds `used` bytes: the exact
// name when such an entry exists, else the one entry equal to it ignoring
// case. With `may_be_new`, a name that matches nothing is kept as given.
static int resolve_component(char* resolved, size_t used, const char* name, size_t length,
                             bool may_be_new) {
    std::memcpy(resolved + used, name, length);
    resolved[used + length] = '\0';
    struct stat status;
    if (lstat(resolved, &status) == 0) {
        return 0;
    }
    if (errno != ENOENT) {
        return -1;
    }
    resolved[used] = '\0';
    int found = find_case_insensitive(resolved, name, length, resolved + used);
    resolved[used + length] = '\0';
    // A folder that cannot be listed (no read permission, no descriptors
    // left) says so: the name may well exist.
    if (found < 0) {
        return -1;
    }
    if (found == 1) {
        return 0;
    }
    if (found == 0 && may_be_new) {
        std::memcpy(resolved + used, name, length);
        return 0;
    }
    errno = found > 1 ? AMBIGUOUS_NAME_ERROR : ENOENT;
    return -1;
}

static int resolve_name(const char* path, char* resolved, size_t size, bool last_may_be_new) {
    size_t total = std::strlen(path);
    if (total + 1 > size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (total == 0) {
        errno = ENOENT;
        return -1;
    }
    size_t used = 0;
    const char* p = path;
    while (*p != '\0') {
        if (*p == '/') {
            resolved[used++] = *p++;
            continue;
        }
        size_t length = std::strcspn(p, "/");
        bool is_last = p[length + std::strspn(p + length, "/")] == '\0';
        bool is_dot = (length == 1 && p[0] == '.') || (length == 2 && p[0] == '.' && p[1] == '.');
        if (is_dot) {
            std::memcpy(resolved + used, p, length);
        } else if (resolve_component(resolved, used, p, length, last_may_be_new && is_last) != 0) {
            return -1;
        }
        used += length;
        p += length;
    }
    resolved[used] = '\0';
    return 0;
}

int resolve_existing_name(const char* path, char* resolved, size_t size) {
    return resolve_name(path, resolved, size, false);
}

int resolve_new_name(const char* path, char* resolved, size_t size) {
    return resolve_name(path, resolved, size, true);
}

int platform_disk_name(const char* path, char* name, size_t size) {
    return resolve_existing_name(path, name, size);
}

// --- Streams and status --------------------------------------------------------

int platform_sync(PlatformFile* file) {
    if (platform_fail_if_injected(OP_SYNC)) {
        return -1;
    }
    FILE* stream = platform_stream_of(file);
    if (std::fflush(stream) != 0 || fsync(fileno(stream)) != 0) {
        return -1;
    }
    return 0;
}

// Mode 0600 while it is written: nobody else opens a half-written log. It
// gets the old log's mode before it takes the log's name.
FILE* open_new_stream(const char* name) {
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        int error = errno;
        close(fd);
        unlink(name);
        errno = error;
    }
    return stream;
}

FILE* open_read_stream(const char* name) {
    return std::fopen(name, "rb");
}

size_t read_stream_at(FILE* stream, int64_t offset, char* buffer, size_t size, bool* failed) {
    const int descriptor = fileno(stream);
    size_t got = 0;
    while (got < size) {
        ssize_t part =
            pread(descriptor, buffer + got, size - got, static_cast<off_t>(offset + got));
        if (part < 0 && errno == EINTR) {
            continue;
        }
        if (part <= 0) {
            *failed = part < 0;
            break;
        }
        got += static_cast<size_t>(part);
    }
    return got;
}

static int status_of(const char* path, struct stat* status) {
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    return stat(name, status);
}

int platform_file_size(const char* path, int32_t* size) {
    if (platform_fail_if_injected(OP_STATUS)) {
        return -1;
    }
    struct stat status;
    if (status_of(path, &status) != 0) {
        return -1;
    }
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    // FIFOs and devices have no size to compare with free space, and reading
    // one could block or never end.
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    *size = fold_file_size(static_cast<int64_t>(status.st_size));
    return 0;
}

int platform_remove(const char* path) {
    if (platform_fail_if_injected(OP_REMOVE)) {
        return -1;
    }
    char name[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, name, sizeof name) != 0) {
        return -1;
    }
    return unlink(name) == 0 ? 0 : -1;
}

int platform_same_file(const char* a, const char* b) {
    if (platform_fail_if_injected(OP_STATUS)) {
        return -1;
    }
    struct stat first, second;
    if (status_of(a, &first) != 0 || status_of(b, &second) != 0) {
        return -1;
    }
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino ? 1 : 0;
}

// --- Free space -------------------------------------------------------------------

// "The current drive" of a file is the file system that holds its directory.
static int directory_of(const char* path, char* directory, size_t size) {
    const char* slash = path != nullptr ? std::strrchr(path, '/') : nullptr;
    if (slash == nullptr) {
        std::snprintf(directory, size, ".");
        return 0;
    }
    char given[NAME_BUFFER_SIZE];
    size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (length + 1 > sizeof given) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(given, path, length);
    given[length] = '\0';
    return resolve_existing_name(given, directory, size);
}

int query_free_bytes(const char* root, const char* path, uint64_t* free_bytes) {
    // Drive letters name nothing here.
    if (root != nullptr) {
        errno = ENODEV;
        return 0;
    }
    char directory[NAME_BUFFER_SIZE];
    struct statvfs volume;
    if (directory_of(path, directory, sizeof directory) != 0 || statvfs(directory, &volume) != 0) {
        return 0;
    }
    *free_bytes = static_cast<uint64_t>(volume.f_bavail) * static_cast<uint64_t>(volume.f_frsize);
    return 1;
}

// --- Directory, links, identity ------------------------------------------------------

// A descriptor of the directory that holds `path`, or -1.
static int open_directory_of(const char* path) {
    char directory[NAME_BUFFER_SIZE];
    if (directory_of(path, directory, sizeof directory) != 0) {
        return -1;
    }
    return open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int platform_sync_directory(const char* path) {
    if (platform_fail_if_injected(OP_SYNC)) {
        return -1;
    }
    int fd = open_directory_of(path);
    if (fd < 0) {
        return -1;
    }
    // A file system that cannot sync a directory (EINVAL) keeps no more for it.
    int result = fsync(fd) == 0 || errno == EINVAL ? 0 : -1;
    int error = errno;
    close(fd);
    errno = error;
    return result;
}

int platform_name_is_unique(const char* path) {
    char directory[NAME_BUFFER_SIZE];
    if (directory_of(path, directory, sizeof directory) != 0) {
        return -1;
    }
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    char match[NAME_MAX + 1];
    size_t length = std::strlen(name);
    if (length > NAME_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int found = find_case_insensitive(directory, name, length, match);
    return found < 0 ? -1 : found <= 1 ? 1 : 0;
}

// The kernel's protected_symlinks rule, which never applies when the link is
// read and followed here: in a sticky folder anyone may write (/tmp, a shared
// drop folder) a link is followed only when it is the runner's or the
// folder's owner's. Otherwise anyone could point root's run at root's files.
static bool may_follow_link(const char* link, const struct stat& status) {
    char directory[NAME_BUFFER_SIZE];
    struct stat folder;
    if (directory_of(link, directory, sizeof directory) != 0 || stat(directory, &folder) != 0) {
        return false;
    }
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return !shared || status.st_uid == geteuid() || status.st_uid == folder.st_uid;
}

// Linux allows 40 links on one path; so do we.
constexpr int MAX_LINKS_FOLLOWED = 40;

int platform_link_target(const char* path, char* target, size_t size) {
    char current[NAME_BUFFER_SIZE];
    if (resolve_existing_name(path, current, sizeof current) != 0) {
        return -1;
    }
    for (int followed = 0; followed <= MAX_LINKS_FOLLOWED; ++followed) {
        struct stat status;
        if (lstat(current, &status) != 0) {
            return -1;
        }
        if (!S_ISLNK(status.st_mode)) {
            // The name as given when it is no link: it keeps its letter case.
            const char* result = followed > 0 ? current : path;
            if (std::strlen(result) + 1 > size) {
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(target, result, std::strlen(result) + 1);
            return 0;
        }
        if (!may_follow_link(current, status)) {
            errno = EACCES;
            return LINK_NOT_FOLLOWED;
        }
        char link[NAME_BUFFER_SIZE];
        ssize_t length = readlink(current, link, sizeof link);
        if (length < 0) {
            return -1;
        }
        char next[NAME_BUFFER_SIZE];
        const char* slash = std::strrchr(current, '/');
        size_t directory = link[0] != '/' && slash != nullptr ? slash - current + 1 : 0;
        if (static_cast<size_t>(length) >= sizeof link ||
            directory + static_cast<size_t>(length) + 1 > sizeof next) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(next, current, directory);
        std::memcpy(next + directory, link, static_cast<size_t>(length));
        next[directory + static_cast<size_t>(length)] = '\0';
        if (resolve_existing_name(next, current, sizeof current) != 0) {
            return -1;
        }
    }
    errno = ELOOP;
    return -1;
}

static void identity_from(const struct stat& status, PlatformFileIdentity* identity) {
    identity->device = static_cast<uint64_t>(status.st_dev);
    identity->file_id = static_cast<uint64_t>(status.st_ino);
    identity->size = static_cast<int64_t>(status.st_size);
    identity->modified = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                         static_cast<int64_t>(status.st_mtim.tv_nsec);
    identity->mode = static_cast<uint32_t>(status.st_mode & 07777);
    identity->owner = static_cast<uint32_t>(status.st_uid);
    identity->group = static_cast<uint32_t>(status.st_gid);
}

int platform_identify(PlatformFile* file, PlatformFileIdentity* identity) {
    struct stat status;
    if (fstat(fileno(platform_stream_of(file)), &status) != 0) {
        return -1;
    }
    identity_from(status, identity);
    return 0;
}

int platform_identify_named(const char* path, PlatformFileIdentity* identity) {
    char name[NAME_BUFFER_SIZE];
    struct stat status;
    if (resolve_existing_name(path, name, sizeof name) != 0 || lstat(name, &status) != 0) {
        return -1;
    }
    identity_from(status, identity);
    return 0;
}

// --- Writing ---------------------------------------------------------------------

// Pieces from `done` on, the first `skip` bytes of pieces[done] already
// written, as at most `most` vectors.
static int vectors_from(const PlatformPiece* pieces, int count, int done, size_t skip,
                        iovec* vectors, int most) {
    int used = 0;
    for (int i = done; i < count && used < most; ++i) {
        const size_t from = i == done ? skip : 0;
        vectors[used].iov_base = const_cast<char*>(pieces[i].bytes + from);
        vectors[used].iov_len = pieces[i].length - from;
        ++used;
    }
    return used;
}

int write_gathered(FILE* stream, const PlatformPiece* pieces, int count) {
    if (std::fflush(stream) != 0) {
        return -1;
    }
    constexpr int MOST_VECTORS = IOV_MAX < 256 ? IOV_MAX : 256;
    const int descriptor = fileno(stream);
    int done = 0;
    size_t skip = 0;
    for (;;) {
        while (done < count && pieces[done].length == skip) {
            ++done;
            skip = 0;
        }
        if (done == count) {
            break;
        }
        iovec vectors[MOST_VECTORS];
        const int used = vectors_from(pieces, count, done, skip, vectors, MOST_VECTORS);
        ssize_t wrote = writev(descriptor, vectors, used);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            errno = wrote == 0 ? ENOSPC : errno;
            return -1;
        }
        // A short write (a full disk, a signal) goes on where it stopped.
        while (wrote > 0) {
            const size_t rest = pieces[done].length - skip;
            const size_t taken =
                static_cast<size_t>(wrote) < rest ? static_cast<size_t>(wrote) : rest;
            skip += taken;
            wrote -= static_cast<ssize_t>(taken);
            if (skip == pieces[done].length) {
                ++done;
                skip = 0;
            }
        }
    }
    // The stream wrote nothing of these: its idea of its place is put right.
    return fseeko(stream, 0, SEEK_END);
}

// --- Console -----------------------------------------------------------------------

// The locale is only asked: the program itself keeps running in the C locale.
static bool locale_is_utf8() {
    if (std::setlocale(LC_CTYPE, "") == nullptr) {
        return false;
    }
    const char* codeset = nl_langinfo(CODESET);
    const bool utf8 = codeset != nullptr &&
                      (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0);
    std::setlocale(LC_CTYPE, "C");
    return utf8;
}

TerminalKind platform_error_terminal() {
    static int kind = -1;
    if (kind < 0) {
        kind = !isatty(STDERR_FILENO) ? TERMINAL_NONE
               : locale_is_utf8()     ? TERMINAL_UTF8
                                      : TERMINAL_OTHER;
    }
    return static_cast<TerminalKind>(kind);
}

int platform_write_console(const char*, size_t) {
    errno = ENOTTY;
    return -1;
}

int platform_expand_pattern(const char*, char** names) {
    *names = nullptr;
    return 0;
}

int platform_pattern_matches(const char* pattern) {
    glob_t found;
    const int result = glob(pattern, GLOB_NOSORT, nullptr, &found);
    const int matches = result == 0 && found.gl_pathc > 0 ? 1 : 0;
    if (result == 0) {
        globfree(&found);
    }
    return matches;
}

void platform_upper_case_name(char* name) {
    upper_case_name(name, names_are_sjis(name, std::strlen(name)));
}

int platform_text_to_utf8(const char* text, const char* from, char* out, size_t size) {
    iconv_t converter = iconv_open("UTF-8", from);
    if (converter == reinterpret_cast<iconv_t>(-1) && std::strcmp(from, "CP932") == 0) {
        converter = iconv_open("UTF-8", "SHIFT_JIS");
    }
    if (converter == reinterpret_cast<iconv_t>(-1) || size == 0) {
        return -1;
    }
    char* in = const_cast<char*>(text);
    size_t in_left = std::strlen(text);
    char* next = out;
    size_t out_left = size - 1;
    while (in_left > 0 &&
           iconv(converter, &in, &in_left, &next, &out_left) == static_cast<size_t>(-1)) {
        if (errno == E2BIG || out_left == 0) {
            break;
        }
        // Not a character (or cut at the end): "?" for it, and on.
        const size_t skip =
            is_sjis_lead_byte(static_cast<unsigned char>(*in)) && in_left > 1 ? 2 : 1;
        *next++ = '?';
        --out_left;
        in += skip;
        in_left -= skip;
    }
    *next = '\0';
    iconv_close(converter);
    return 0;
}
