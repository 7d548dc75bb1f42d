// The whole log job (process_log_file) on arbitrary log bytes, in a private
// temporary directory that is the current directory (the saved copy of a run
// without backup lies there). Checked after every run, not just "no crash":
//
// (a) the rewritten log is a concatenation of pieces of the input, as the line
//     reader splits it (a NIFTY SERVE banner at the head is one of them);
// (b) re-indexing the rewritten log gives the sorted entries, repeats left
//     out, where the rules guarantee it (see check_sorted_output);
// (c) the same input gives the same files twice, and, where the rules
//     guarantee it, a run over the job's own output changes nothing;
// (d) a skipped log is left alone, a backup holds exactly the input bytes,
//     and nothing else is left behind.
//
// Input: byte 0 selects the mode (bit 0 NIFTY SERVE, bit 1 line checking
// off, bit 2 no backup, bit 3 long runs: 0x7F k f stands for 64 k + 1 bytes
// f, so lines longer than the 8192-byte pieces come up), the rest is the log.
#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "driver/log_pipeline.h"
#include "logindex/index_sort.h"
#include "logindex/log_indexer.h"
#include "logindex/run_options.h"

namespace {

constexpr size_t PIECE_LENGTH = LINE_BUFFER_SIZE - 1;
constexpr size_t MAX_EXPANDED_SIZE = 64 * 1024;
const char LOG_NAME[] = "LOG.TXT";
const char BACKUP_NAME[] = "LOG.BAK";

using Files = std::map<std::string, std::string>;

struct Mode {
    int service;
    int line_check;
    int make_backup;
};

// The run's one index, reused input after input as a run reuses it log after log.
IndexedLog* fuzz_indexed = create_indexed_log();
// The rewritten log indexed again.
IndexedLog* reindexed = create_indexed_log();

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "log_job_fuzzer: invariant broken: %s\n", what);
        std::abort();
    }
}

std::string read_whole(const char* name) {
    std::string bytes;
    FILE* file = std::fopen(name, "rb");
    check(file != nullptr, "a listed file can be read");
    char buffer[16384];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, got);
    }
    std::fclose(file);
    return bytes;
}

void write_whole(const char* name, const std::string& bytes) {
    FILE* file = std::fopen(name, "wb");
    check(file != nullptr, "the log can be created");
    check(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(), "the log is written");
    check(std::fclose(file) == 0, "the log is closed");
}

Files directory_files() {
    Files files;
    DIR* listing = opendir(".");
    check(listing != nullptr, "the work directory can be listed");
    while (const dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            files[name] = read_whole(name.c_str());
        }
    }
    closedir(listing);
    return files;
}

void clear_directory() {
    for (const auto& [name, bytes] : directory_files()) {
        unlink(name.c_str());
    }
}

RunOptions options_of(const Mode& mode) {
    return RunOptions{mode.service, mode.make_backup, mode.line_check, 0};
}

// The log indexed as a run indexes it; its result.
int index_log_named(const char* name, const Mode& mode, IndexedLog* indexed) {
    PlatformFile* file = platform_open_read(name);
    if (file == nullptr) {
        return -1;
    }
    const int count = index_log(file, name, options_of(mode), indexed);
    platform_close(file);
    return count;
}

int run_job(const std::string& log, const Mode& mode, Files* files) {
    clear_directory();
    write_whole(LOG_NAME, log);
    // Each run is a command line of its own: no backup counts as made before it.
    BackupsMade made = {};
    const int result =
        is_problem(process_log_file(LOG_NAME, options_of(mode), fuzz_indexed, &made)) ? -1 : 0;
    forget_backups_made(&made);
    *files = directory_files();
    return result;
}

// The pieces the line reader hands out: up to and including a line feed, at
// most 8192 bytes.
std::vector<std::string_view> split_pieces(std::string_view bytes) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t limit = std::min(bytes.size() - start, PIECE_LENGTH);
        size_t newline = bytes.substr(start, limit).find('\n');
        size_t length = newline == std::string_view::npos ? limit : newline + 1;
        pieces.push_back(bytes.substr(start, length));
        start += length;
    }
    return pieces;
}

// A short piece without a line feed can only be the end of the input.
bool has_end_fragment(std::string_view bytes) {
    std::vector<std::string_view> pieces = split_pieces(bytes);
    return !pieces.empty() && pieces.back().back() != '\n' && pieces.back().size() < PIECE_LENGTH;
}

// (a): the output parses as a sequence of input pieces. At each position the
// only candidates are the line up to its line feed, a full piece, and the
// input's end fragment; after a piece without a line feed, the line end that
// the writer adds so that the next message starts a line of its own.
void check_made_of_input_pieces(const std::string& input, const std::string& output) {
    std::vector<std::string_view> pieces = split_pieces(input);
    std::unordered_set<std::string_view> known(pieces.begin(), pieces.end());
    std::string_view fragment = has_end_fragment(input) ? pieces.back() : std::string_view();
    std::string_view out = output;
    std::vector<char> reachable(out.size() + 1, 0);
    reachable[0] = 1;
    for (size_t at = 0; at < out.size(); ++at) {
        if (!reachable[at]) {
            continue;
        }
        size_t rest = out.size() - at;
        size_t newline = out.substr(at, std::min(rest, PIECE_LENGTH)).find('\n');
        size_t candidates[3] = {newline == std::string_view::npos ? 0 : newline + 1,
                                rest >= PIECE_LENGTH ? PIECE_LENGTH : 0, fragment.size()};
        for (size_t length : candidates) {
            if (length > 0 && length <= rest && known.count(out.substr(at, length)) != 0) {
                reachable[at + length] = 1;
            }
        }
        if (at > 0 && out[at - 1] != '\n') {
            for (std::string_view end : {std::string_view("\r\n"), std::string_view("\n")}) {
                if (out.substr(at, end.size()) == end) {
                    reachable[at + end.size()] = 1;
                }
            }
        }
    }
    check(reachable[out.size()] != 0, "the rewritten log holds only lines of the input");
}

// The entries the writer copies: the sorted index without repeats.
std::vector<MessageIndexEntry> written_entries(const MessageIndexEntry* sorted, int count) {
    std::vector<MessageIndexEntry> entries;
    for (int i = 0; i < count; ++i) {
        if (i == 0 || sorted[i].number != sorted[i - 1].number) {
            entries.push_back(sorted[i]);
        }
    }
    return entries;
}

bool same_keys(const MessageIndexEntry& a, const MessageIndexEntry& b) {
    return a.number == b.number && a.date_key == b.date_key && a.time_key == b.time_key;
}

// (b). Without PC-VAN line counts a message runs from its header line 1 to the
// next one, and every line matching line 1 is an indexed header (else the
// index fails), so each written message holds exactly one header. Every
// written piece ends in a line feed or is a full piece, except an input end
// fragment (only PC-VAN writes it, and a line end follows it when another
// message does), so the output splits into the same pieces. Then re-indexing finds the written
// entries, in order; NIFTY SERVE may still fail it, by rule: a line 2 that was
// an end fragment is dropped, and a room 0 sorted after another room is a
// room error. PC-VAN with line counts guarantees nothing of the kind: a count
// decides the extent, so a copied body can hold header-like lines, overlap the
// next message or fall short of its own.
void check_sorted_output(const Mode& mode, const std::vector<MessageIndexEntry>& expected) {
    if (mode.service == SERVICE_PCVAN && mode.line_check) {
        return;
    }
    int count = index_log_named(LOG_NAME, mode, reindexed);
    const MessageIndexEntry* found = reindexed->entries;
    if (mode.service == SERVICE_NIFTY && count == -1) {
        return;
    }
    check(count == static_cast<int>(expected.size()), "re-indexing finds every written message");
    for (int i = 0; i < count; ++i) {
        check(same_keys(found[i], expected[i]), "messages are written in sorted order");
        check(i == 0 || compare_entries(&found[i - 1], &found[i]) < 0, "keys ascend");
    }
}

std::string expand_long_runs(const uint8_t* data, size_t size) {
    std::string log;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x7F && i + 2 < size && log.size() < MAX_EXPANDED_SIZE) {
            log.append(static_cast<size_t>(data[i + 1]) * 64 + 1, static_cast<char>(data[i + 2]));
            i += 2;
        } else {
            log += static_cast<char>(data[i]);
        }
    }
    return log;
}

void remove_work_directory_at_exit();
std::string work_directory;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/zembra-fuzz-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "a work directory can be made");
    work_directory = pattern;
    check(chdir(work_directory.c_str()) == 0, "the work directory can be entered");
    std::atexit(remove_work_directory_at_exit);
    return 0;
}

namespace {

// Whatever the current directory is by then, only the work directory is
// emptied.
void remove_work_directory_at_exit() {
    if (chdir(work_directory.c_str()) != 0) {
        return;
    }
    clear_directory();
    if (chdir("/") == 0) {
        rmdir(work_directory.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const Mode mode = {data[0] & 1 ? SERVICE_NIFTY : SERVICE_PCVAN, data[0] & 2 ? 0 : 1,
                       data[0] & 4 ? 0 : 1};
    const std::string input = data[0] & 8
                                  ? expand_long_runs(data + 1, size - 1)
                                  : std::string(reinterpret_cast<const char*>(data + 1), size - 1);

    // What the job must do follows from whether the log indexes at all.
    clear_directory();
    write_whole(LOG_NAME, input);
    check(fuzz_indexed != nullptr && reindexed != nullptr, "memory for the indexes");
    const int indexed = index_log_named(LOG_NAME, mode, fuzz_indexed);

    Files first;
    const int result = run_job(input, mode, &first);
    if (indexed <= 0) {
        check(result == -1, "a log without valid headers is skipped");
        check(first == Files{{LOG_NAME, input}}, "a skipped log is left alone");
    } else {
        check(result == 0, "an indexed log is rewritten");
        check(first.count(LOG_NAME) == 1, "the log is there");
        // A log already in order is left as it is, without a backup.
        const bool rewritten = first[LOG_NAME] != input;
        check(first.size() == (mode.make_backup && rewritten ? 2u : 1u),
              "only the log and its backup remain");
        if (mode.make_backup && rewritten) {
            check(first.count(BACKUP_NAME) == 1 && first[BACKUP_NAME] == input,
                  "the backup holds exactly the input");
        }
        check_made_of_input_pieces(input, first[LOG_NAME]);
        check_sorted_output(mode, written_entries(fuzz_indexed->entries, indexed));
    }

    Files second;
    check(run_job(input, mode, &second) == result && second == first,
          "the same input gives the same files");

    // (c) idempotence, where (b) holds without exception: NIFTY SERVE (a run
    // that fails on the output leaves it alone), and PC-VAN without line counts.
    const bool settled = mode.service == SERVICE_NIFTY || !mode.line_check;
    if (result == 0 && settled) {
        const std::string output = first[LOG_NAME];
        Files again;
        run_job(output, mode, &again);
        check(again[LOG_NAME] == output, "a run over the job's own output changes nothing");
    }
    return 0;
}
