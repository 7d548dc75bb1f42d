// The three steps of a log job on a log of 3000 message headers (the index's
// limit): index_log over the whole log, sort_index on orders that matter to
// a quicksort, and write_sorted_log_from the log. The logs are made
// here, in a temporary directory, from a fixed seed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "logindex/index_sort.h"
#include "logindex/log_indexer.h"
#include "logindex/run_options.h"
#include "logindex/sorted_log_writer.h"
#include "support/log_texts.h"

namespace {

constexpr int MESSAGES = 1000;
constexpr int DOWNLOADS = 3;  // every message three times: 3000 headers
constexpr int BODY_LINES = 20;

// A body line of Japanese and ASCII, 60 bytes with its line end.
const std::string BODY_LINE =
    "\x82\xb1\x82\xea\x82\xcd\x96\x7b\x95\xb6\x82\xc5\x82\xb7\x81\x42"
    " 2400bps MS-DOS \x83\x82\x83\x66\x83\x80 a|b [1] \\100 ok\r\n";

struct Lcg {
    uint32_t state;
    uint32_t next(uint32_t bound) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % bound;
    }
};

std::string message_date(int number, bool pcvan) {
    int day = number / 6;
    char text[32];
    std::snprintf(text, sizeof text,
                  pcvan ? "%02d/%02d/%02d  %02d:%02d" : "%02d/%02d/%02d %02d:%02d", 96 + day / 360,
                  day / 30 % 12 + 1, day % 30 + 1, number % 6 * 4, number % 60);
    return text;
}

std::string message(int number, bool pcvan, Lcg& random) {
    int lines = 1 + static_cast<int>(random.next(BODY_LINES));
    std::string body;
    for (int i = 0; i < lines; ++i) body += BODY_LINE;
    char line1[64];
    if (pcvan) {
        std::snprintf(line1, sizeof line1, "#%d/%d SENDER\r\n", number, MESSAGES);
        return line1 + (PCVAN_TITLE " (ABC01234)  " + message_date(number, true) + " (" +
                        std::to_string(lines) + ") TITLE\r\n\r\n" + body + "\r\n\r\n");
    }
    std::snprintf(line1, sizeof line1, "%05d/%05d ABC01234 TITLE\r\n", number, MESSAGES);
    return line1 + ("( 3)   " + message_date(number, false) + "\r\n") + body + "\r\n";
}

// Three downloads of the whole room, one reversed and two shuffled, as a
// terminal saved them, with NIFTY SERVE forum banners between them.
std::string make_log(bool pcvan) {
    Lcg random{1996};
    std::vector<std::string> messages;
    for (int n = 1; n <= MESSAGES; ++n) messages.push_back(message(n, pcvan, random));
    std::string log = "ATDT 0120-XX-XXXX\r\nCONNECT 2400\r\n";
    for (int download = 0; download < DOWNLOADS; ++download) {
        std::vector<int> order;
        for (int n = 0; n < MESSAGES; ++n) order.push_back(download == 0 ? MESSAGES - 1 - n : n);
        for (int i = MESSAGES - 1; download > 0 && i > 0; --i) {
            std::swap(order[i], order[random.next(static_cast<uint32_t>(i + 1))]);
        }
        if (!pcvan) log += "- FPCVAN MES( 3) ROOM 96/0" + std::to_string(download + 1) + "/20\r\n";
        for (int n : order) log += messages[n];
    }
    return log;
}

struct LogFixture {
    std::string path;
    std::string output_path;
    size_t bytes;
    IndexedLog* indexed;  // sorted
    int count;
};

std::string write_file(const std::string& name, const std::string& content) {
    std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(content.data(), 1, content.size(), file) != content.size()) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fclose(file);
    return path;
}

RunOptions options_for(bool pcvan) {
    return RunOptions{pcvan ? SERVICE_PCVAN : SERVICE_NIFTY, 1, 1, 0};
}

IndexedLog* new_indexed_log() {
    IndexedLog* indexed = create_indexed_log();
    if (indexed == nullptr) {
        std::perror("index");
        std::exit(1);
    }
    return indexed;
}

int index_named_log(const char* path, const RunOptions& options, IndexedLog* indexed) {
    PlatformFile* file = platform_open_read(path);
    if (file == nullptr) {
        return -1;
    }
    const int count = index_log(file, path, options, indexed);
    platform_close(file);
    return count;
}

int write_sorted_named_log(const char* path, const char* output_path, const IndexedLog& indexed,
                           const RunOptions& options) {
    PlatformFile* file = platform_open_read(path);
    if (file == nullptr) {
        return -1;
    }
    const int result = write_sorted_log_from(file, path, output_path, indexed, options);
    platform_close(file);
    return result;
}

// Made once per dialect and kept for the whole run.
LogFixture fixtures[2];

LogFixture& fixture(bool pcvan) {
    LogFixture& f = fixtures[pcvan ? 0 : 1];
    if (f.path.empty()) {
        std::string log = make_log(pcvan);
        std::string tag =
            "zembra-bench-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
            (pcvan ? "-pcvan" : "-nifty");
        f.path = write_file(tag + ".log", log);
        f.output_path = (std::filesystem::temp_directory_path() / (tag + ".out")).string();
        f.bytes = log.size();
        f.indexed = new_indexed_log();
        f.count = index_named_log(f.path.c_str(), options_for(pcvan), f.indexed);
        sort_index(f.indexed->entries, f.count);
    }
    return f;
}

void BM_index_log(benchmark::State& state) {
    bool pcvan = state.range(0) == 0;
    LogFixture& f = fixture(pcvan);
    RunOptions options = options_for(pcvan);
    options.line_check = static_cast<int>(state.range(1));
    IndexedLog* indexed = new_indexed_log();
    int count = 0;
    for (auto _ : state) {
        count = index_named_log(f.path.c_str(), options, indexed);
        benchmark::DoNotOptimize(count);
    }
    destroy_indexed_log(indexed);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(f.bytes));
    state.SetLabel(std::string(pcvan ? "pcvan" : "nifty") + (state.range(1) ? "" : " -!") + ", " +
                   std::to_string(count) + " entries, " + std::to_string(f.bytes / 1024) + " KiB");
}
BENCHMARK(BM_index_log)->Args({0, 1})->Args({0, 0})->Args({1, 1})->Unit(benchmark::kMillisecond);

enum SortOrder { IN_ORDER, REVERSED, ALL_EQUAL, LOG_ORDER };

std::vector<MessageIndexEntry> entries_in(SortOrder order) {
    std::vector<MessageIndexEntry> entries(MAX_INDEX_ENTRIES);
    for (int i = 0; i < MAX_INDEX_ENTRIES; ++i) {
        int n = order == REVERSED ? MAX_INDEX_ENTRIES - i : i + 1;
        if (order == ALL_EQUAL) n = 1;
        // Six messages a day, as in the logs.
        entries[i] = MessageIndexEntry{n, static_cast<uint32_t>(8000 + n / 6),
                                       static_cast<uint32_t>(n % 6 * 4096), 0, i * 100};
    }
    if (order == LOG_ORDER) {
        LogFixture& f = fixture(true);
        IndexedLog* indexed = new_indexed_log();
        index_named_log(f.path.c_str(), options_for(true), indexed);
        entries.assign(indexed->entries, indexed->entries + MAX_INDEX_ENTRIES);
        destroy_indexed_log(indexed);
    }
    return entries;
}

// The copy that restores the unsorted order is timed too; it is some
// microseconds against the sort's tens or thousands.
void BM_sort_index(benchmark::State& state) {
    auto order = static_cast<SortOrder>(state.range(0));
    const std::vector<MessageIndexEntry> unsorted = entries_in(order);
    std::vector<MessageIndexEntry> entries = unsorted;
    for (auto _ : state) {
        entries = unsorted;
        sort_index(entries.data(), MAX_INDEX_ENTRIES);
        benchmark::DoNotOptimize(entries.data());
    }
    static const char* const NAMES[] = {"in order", "reversed", "all equal", "log order"};
    state.SetLabel(NAMES[order]);
}
BENCHMARK(BM_sort_index)->DenseRange(IN_ORDER, LOG_ORDER)->Unit(benchmark::kMicrosecond);

void BM_write_sorted_log_from(benchmark::State& state) {
    bool pcvan = state.range(0) == 0;
    LogFixture& f = fixture(pcvan);
    int result = 0;
    for (auto _ : state) {
        result = write_sorted_named_log(f.path.c_str(), f.output_path.c_str(), *f.indexed,
                                        options_for(pcvan));
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(f.bytes));
    state.SetLabel(std::string(pcvan ? "pcvan" : "nifty") + (result == 0 ? "" : " FAILED"));
}
BENCHMARK(BM_write_sorted_log_from)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

// The temporary logs go once every benchmark has run.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const LogFixture& f : fixtures) {
        if (f.path.empty()) continue;
        std::remove(f.path.c_str());
        std::remove(f.output_path.c_str());
    }
    return 0;
}
