// The least work any correct rewrite of a log must do, to time zembra
// against: read the log twice with a newline scan (once to index it, once to
// copy it), write as many bytes as the sorted log holds to a new file, sync
// it once and rename it over the log.
//
//     rewrite_floor LOG SORTED_BYTES
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

char block[64 * 1024];

// Lines of the log, read in blocks; -1 when it cannot be read.
long scan_lines(const char* path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    long lines = 0;
    ssize_t got = 0;
    while ((got = read(fd, block, sizeof block)) > 0) {
        for (const char* p = block;
             (p = static_cast<const char*>(std::memchr(p, '\n', block + got - p))) != nullptr;
             ++p) {
            ++lines;
        }
    }
    close(fd);
    return got < 0 ? -1 : lines;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: rewrite_floor LOG SORTED_BYTES\n");
        return 2;
    }
    long to_write = std::atol(argv[2]);
    if (scan_lines(argv[1]) < 0 || scan_lines(argv[1]) < 0) return 1;
    std::string temporary = std::string(argv[1]) + ".new";
    int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (out < 0) return 1;
    for (long left = to_write; left > 0;) {
        size_t chunk =
            left < static_cast<long>(sizeof block) ? static_cast<size_t>(left) : sizeof block;
        if (write(out, block, chunk) != static_cast<ssize_t>(chunk)) return 1;
        left -= static_cast<long>(chunk);
    }
    if (fsync(out) != 0 || close(out) != 0) return 1;
    return std::rename(temporary.c_str(), argv[1]) == 0 ? 0 : 1;
}
