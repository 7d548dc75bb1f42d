// Replays the committed fuzz seeds, every input that once broke a check among
// them, through the fuzz targets' own checks in the normal test build, so that
// they run where clang and libFuzzer are missing too. A broken check aborts.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_files.h"

#define LLVMFuzzerTestOneInput sjis_fuzz_one_input
#include "../fuzz/sjis_fuzzer.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerInitialize log_job_fuzz_initialize
#define LLVMFuzzerTestOneInput log_job_fuzz_one_input
#include "../fuzz/log_job_fuzzer.cpp"
#undef LLVMFuzzerTestOneInput
#undef LLVMFuzzerInitialize

namespace {

namespace fs = std::filesystem;

// The seeds of one target, in a fixed order.
std::vector<std::string> seeds_of(const std::string& target) {
    std::vector<std::string> paths;
    const std::string directory = std::string(ZEMBRA_SOURCE_DIR) + "/fuzz/corpus/" + target;
    for (const auto& name : list_directory(directory)) {
        paths.push_back(directory + "/" + name);
    }
    return paths;
}

void replay(const std::string& target, int (*one_input)(const uint8_t*, size_t)) {
    const std::vector<std::string> seeds = seeds_of(target);
    ASSERT_FALSE(seeds.empty());
    for (const auto& path : seeds) {
        SCOPED_TRACE(path);
        const std::string bytes = read_file(path);
        one_input(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
}

TEST(FuzzSeeds, ShiftJisRoutines) {
    replay("sjis", sjis_fuzz_one_input);
}

// The target works in a directory of its own, which it makes the current one.
TEST(FuzzSeeds, LogJob) {
    const fs::path previous = fs::current_path();
    log_job_fuzz_initialize(nullptr, nullptr);
    replay("log_job", log_job_fuzz_one_input);
    fs::current_path(previous);
}

}  // namespace

#endif  // _WIN32
