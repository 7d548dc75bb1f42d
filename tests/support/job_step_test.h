// A fixture for tests of one step of the job (indexing, writing) on a PC-VAN
// log with line checking: the settings the step takes and the index it fills.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "logindex/log_indexer.h"
#include "logindex/run_options.h"
#include "logindex/sorted_log_writer.h"
#include "support/messages.h"

// The log named `path` opened, indexed into `indexed` and closed, reported
// as a run reports it.
inline int index_log_file(const char* path, const RunOptions& options, IndexedLog* indexed) {
    PlatformFile* file = platform_open_read(path);
    if (file == nullptr) {
        print_message<MSG_FILE_OPEN_ERROR>(path);
        return -1;
    }
    int result = index_log(file, path, options, indexed);
    if (platform_close(file) != 0 && result >= 0) {
        result = report_read_error(path);
    }
    return result;
}

// The sorted log written from the log named `source_path`.
inline int write_sorted_log_file(const char* source_path, const char* log_path,
                                 const IndexedLog& indexed, const RunOptions& options) {
    PlatformFile* source = platform_open_read(source_path);
    if (source == nullptr) {
        print_message<MSG_FILE_OPEN_ERROR>(source_path);
        return -1;
    }
    int result = write_sorted_log_from(source, source_path, log_path, indexed, options);
    if (platform_close(source) != 0 && result == 0) {
        result = report_read_error(source_path);
    }
    return result;
}

// Entries made by hand, as no indexing found them: no spans, no banner.
inline void set_entries(IndexedLog* indexed, const std::vector<MessageIndexEntry>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
        indexed->entries[i] = entries[i];
    }
    indexed->count = static_cast<int>(entries.size());
    indexed->shape = {};
    indexed->spans.count = 0;
    reset_forum_banner(&indexed->banner);
}

// The run's one index, as a test holds it.
using IndexedLogPtr = std::unique_ptr<IndexedLog, void (*)(IndexedLog*)>;
inline IndexedLogPtr make_indexed_log() {
    return IndexedLogPtr(create_indexed_log(), destroy_indexed_log);
}

class JobStepTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(indexed_, nullptr); }

    RunOptions options_ = {SERVICE_PCVAN, 1, 1, 0};
    IndexedLogPtr owner_ = make_indexed_log();
    IndexedLog* indexed_ = owner_.get();
};
