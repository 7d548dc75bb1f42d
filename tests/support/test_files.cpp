#include "support/test_files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::random_device random;
    fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path candidate = base / ("zembra-test-" + std::to_string(random()));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(path_, error);
}

std::string TempDir::file(const std::string& name) const {
    return (fs::path(path_) / name).string();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool file_exists(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error);
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> list_directory(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

#ifdef _WIN32
// One argument as the C runtime splits a command line: backslashes are literal
// unless they precede a double quote.
static std::string quote_argument(const std::string& arg) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

std::string windows_path(std::string path) {
    if (!path.empty() && path[0] == '/') {
        path = std::string("Z:") + path;
    }
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

// The console streams are in text mode and write "\n" as CR LF; taking one CR
// off every CR LF gives back exactly what the program wrote.
static std::string from_text_mode(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
            text += bytes[i];
        }
    }
    return text;
}

RunResult run_program(const std::string& directory, const std::vector<std::string>& args,
                      const std::string& program) {
    TempDir capture;
    std::string out_path = capture.file("stdout");
    std::string err_path = capture.file("stderr");
    std::string command = "cd /d \"" + directory + "\" && \"" + windows_path(program) + "\"";
    for (const auto& arg : args) {
        command += " " + quote_argument(arg);
    }
    command += " >\"" + out_path + "\" 2>\"" + err_path + "\"";
    // cmd.exe strips the outer quotes of a command line that starts with one.
    command = std::string("\"") + command + "\"";
    std::fflush(nullptr);
    RunResult result;
    // Under Wine on a busy machine, starting a process now and then fails:
    // cmd.exe itself (-1, nothing written), or the program, which cmd.exe
    // then calls unknown (9009). The program never ran, so that is no result
    // of it; the tests only ever run programs that exist.
    constexpr int CMD_COMMAND_NOT_FOUND = 9009;
    for (int attempt = 0; attempt < 5; ++attempt) {
        result.status = std::system(command.c_str());
        const bool never_started = (result.status == -1 && read_file(err_path).empty()) ||
                                   result.status == CMD_COMMAND_NOT_FOUND;
        if (!never_started) {
            break;
        }
        std::fprintf(stderr, "(the program did not start: %d; trying again)\n", result.status);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    result.out = from_text_mode(read_file(out_path));
    result.err = from_text_mode(read_file(err_path));
    return result;
}
#else
static std::string quote_argument(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

RunResult run_program(const std::string& directory, const std::vector<std::string>& args,
                      const std::string& program) {
    TempDir capture;
    std::string out_path = capture.file("stdout");
    std::string err_path = capture.file("stderr");
    std::string command = "cd " + quote_argument(directory) + " && exec " + quote_argument(program);
    for (const auto& arg : args) {
        command += " " + quote_argument(arg);
    }
    command += " >" + quote_argument(out_path) + " 2>" + quote_argument(err_path);
    std::fflush(nullptr);
    int raw = std::system(command.c_str());
    RunResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}
#endif

std::string make_large_pcvan_log(int messages, int body_lines) {
    std::string log = "ATDT 0120-XX-XXXX\r\nCONNECT 2400\r\n";
    char line[256];
    for (int number = messages; number >= 1; --number) {
        int day = number / 8;
        std::snprintf(line, sizeof line, "#%d/%d TITLE %d\r\n", number, messages, number);
        log += line;
        // "★タイトル" in Shift_JIS, then the code, date, time and line count.
        std::snprintf(line, sizeof line,
                      "\x81\x9a\x83\x5e\x83\x43\x83\x67\x83\x8b (ABC01234)  %02d/%02d/%02d  "
                      "%02d:%02d (%d) TITLE\r\n",
                      96 + day / 360, day / 30 % 12 + 1, day % 30 + 1, number % 24, number % 60,
                      body_lines);
        log += line;
        log += "\r\n";
        for (int i = 0; i < body_lines; ++i) {
            std::snprintf(line, sizeof line,
                          "message %d line %d: the quick brown fox jumps over the lazy dog.\r\n",
                          number, i);
            log += line;
        }
        log += "\r\n\r\n";
    }
    return log;
}

std::string make_numbered_pcvan_log(const std::vector<int>& numbers) {
    std::string log;
    char lines[256];
    for (int number : numbers) {
        const int year = (80 + number / 336) % 100;
        std::snprintf(lines, sizeof lines,
                      "#%d/99999 TITLE\r\n\x81\x9a\x83\x5e\x83\x43\x83\x67\x83\x8b (ABC01234)  "
                      "%02d/%02d/%02d  21:34 (1) TITLE\r\n--\r\nmessage %d\r\n--\r\n\r\n",
                      number, year, number / 28 % 12 + 1, number % 28 + 1, number);
        log += lines;
    }
    return log;
}

std::map<std::string, std::string> snapshot_tree(const std::string& path) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
        std::string name = entry.path().lexically_relative(path).generic_string();
        if (entry.is_symlink()) {
            files[name] = "-> " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_regular_file()) {
            files[name] = read_file(entry.path().string());
        }
    }
    return files;
}

#ifndef _WIN32
int start_program(const std::string& directory, const std::vector<std::string>& args,
                  const std::string& err_path) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child != 0) {
        return child;
    }
    const char* err = err_path.empty() ? "/dev/null" : err_path.c_str();
    int fd = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(directory.c_str()) != 0 || fd < 0 || dup2(fd, 2) < 0) {
        _exit(127);
    }
    std::vector<std::string> copies = args;
    std::string program = ZEMBRA_BINARY;
    std::vector<char*> argv = {program.data()};
    for (auto& arg : copies) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

int wait_program(int pid) {
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}
#endif

std::string printable(const std::string& bytes) {
    std::string text;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c < 0x20 || c >= 0x7f || c == '\\') {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}
