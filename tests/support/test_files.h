// Helpers for tests that work on real files: a fresh temporary directory per
// test, whole-file reads and writes, and runs of the built zembra binary.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

// Whether this build runs on POSIX: where the platforms differ, a table row
// says what each does.
#ifdef _WIN32
constexpr bool ON_POSIX = false;
#else
constexpr bool ON_POSIX = true;
#endif

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // `name` inside the directory.
    std::string file(const std::string& name) const;

  private:
    std::string path_;
};

// Runs a test inside `directory`, so that relative names are tested as users
// type them.
class InDirectory {
  public:
    explicit InDirectory(const std::string& directory)
        : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(directory);
    }
    ~InDirectory() { std::filesystem::current_path(previous_); }

  private:
    std::filesystem::path previous_;
};

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
// Names of the directory's entries, sorted.
std::vector<std::string> list_directory(const std::string& path);

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` (the built zembra unless given) with `args`, in `directory`,
// capturing standard output and standard error byte for byte.
RunResult run_program(const std::string& directory, const std::vector<std::string>& args,
                      const std::string& program = ZEMBRA_BINARY);

#ifdef _WIN32
// The build names files by their host paths; under Wine "/" is drive Z:.
std::string windows_path(std::string path);
#endif

// A PC-VAN log of `messages` messages in reverse order, each `body_lines` long.
std::string make_large_pcvan_log(int messages, int body_lines);

// A PC-VAN log of one message per entry of `numbers`, in that order. Keys
// grow with the number (a day each, from 1980 on, up to 30,240), so that key
// order is number order.
std::string make_numbered_pcvan_log(const std::vector<int>& numbers);

// Every regular file under `path` (names relative to it, "d/x" for one in a
// subdirectory) with its content; a symbolic link as "-> " and its target.
std::map<std::string, std::string> snapshot_tree(const std::string& path);

#ifndef _WIN32
// Starts the built zembra in `directory` with `args`, standard error going to
// `err_path` (or nowhere when empty); returns its process id.
int start_program(const std::string& directory, const std::vector<std::string>& args,
                  const std::string& err_path = "");
// Waits for it: its exit status, or 128 + the signal that ended it.
int wait_program(int pid);
#endif

// A text's bytes made readable for a failure message (escapes for non-ASCII).
std::string printable(const std::string& bytes);
