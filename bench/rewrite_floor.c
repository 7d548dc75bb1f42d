/* The least work any correct rewrite of a log must do, to time zembra
 * against: read the log twice with a newline scan (once to index it, once to
 * copy it), write as many bytes as the sorted log holds to a side file, sync
 * it and rename it over the log, which lets the old log's blocks go as
 * zembra's rename over an old backup does. With -B the directory is synced
 * after the rename too, as zembra -B does before it removes its temporary.
 * C and the C library only, so that starting it costs what starting zembra
 * does.
 *
 *     rewrite_floor LOG SORTED_BYTES [-B]
 */
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char block[64 * 1024];

/* Lines of the log, read in blocks; -1 when it cannot be read. */
static long scan_lines(const char* path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    long lines = 0;
    ssize_t got = 0;
    while ((got = read(fd, block, sizeof block)) > 0) {
        const char* end = block + got;
        for (const char* p = block; (p = memchr(p, '\n', (size_t)(end - p))) != NULL; ++p) {
            ++lines;
        }
    }
    close(fd);
    return got < 0 ? -1 : lines;
}

static int write_side_file(const char* path, long to_write) {
    int out = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (out < 0) {
        return -1;
    }
    for (long left = to_write; left > 0;) {
        size_t chunk = left < (long)sizeof block ? (size_t)left : sizeof block;
        if (write(out, block, chunk) != (ssize_t)chunk) {
            close(out);
            return -1;
        }
        left -= (long)chunk;
    }
    if (fsync(out) != 0) {
        close(out);
        return -1;
    }
    return close(out);
}

/* The directory that holds `path`: what precedes its last "/", or ".". */
static int sync_directory_of(const char* path) {
    char directory[4096];
    const char* slash = strrchr(path, '/');
    size_t length = slash == NULL ? 0 : (size_t)(slash - path);
    if (length >= sizeof directory) {
        return -1;
    }
    if (slash == NULL) {
        strcpy(directory, ".");
    } else if (length == 0) {
        strcpy(directory, "/");
    } else {
        memcpy(directory, path, length);
        directory[length] = '\0';
    }
    int fd = open(directory, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    int result = fsync(fd);
    close(fd);
    return result;
}

int main(int argc, char** argv) {
    int sync_directory = argc == 4 && strcmp(argv[3], "-B") == 0;
    if (argc != 3 && !sync_directory) {
        fprintf(stderr, "usage: rewrite_floor LOG SORTED_BYTES [-B]\n");
        return 2;
    }
    const char* log = argv[1];
    long to_write = atol(argv[2]);
    if (scan_lines(log) < 0 || scan_lines(log) < 0) {
        return 1;
    }
    char side[4096];
    if (snprintf(side, sizeof side, "%s.new", log) >= (int)sizeof side) {
        return 1;
    }
    if (write_side_file(side, to_write) != 0 || rename(side, log) != 0) {
        unlink(side);
        return 1;
    }
    if (sync_directory && sync_directory_of(log) != 0) {
        return 1;
    }
    return 0;
}
