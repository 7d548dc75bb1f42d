#include "support/test_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <sys/wait.h>
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

std::string TempDir::file(const std::string& name) const { return (fs::path(path_) / name).string(); }

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

static std::string quote_argument(const std::string& arg) {
#ifdef _WIN32
    return "\"" + arg + "\"";
#else
    std::string quoted = "'";
    for (char c : arg) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
#endif
}

RunResult run_program(const std::string& directory, const std::vector<std::string>& args,
                      const std::string& program) {
    TempDir capture;
    std::string out_path = capture.file("stdout");
    std::string err_path = capture.file("stderr");
#ifdef _WIN32
    std::string command = "cd /d " + quote_argument(directory) + " && " + quote_argument(program);
#else
    std::string command = "cd " + quote_argument(directory) + " && exec " + quote_argument(program);
#endif
    for (const auto& arg : args) {
        command += " " + quote_argument(arg);
    }
    command += " >" + quote_argument(out_path) + " 2>" + quote_argument(err_path);
#ifdef _WIN32
    // cmd.exe strips the outer quotes of a command line that starts with one.
    command = "\"" + command + "\"";
#endif
    std::fflush(nullptr);
    int raw = std::system(command.c_str());
    RunResult result;
#ifdef _WIN32
    result.status = raw;
#else
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
#endif
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

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
