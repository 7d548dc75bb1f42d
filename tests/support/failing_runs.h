// Runs of code under test with one counted platform operation made to fail,
// and the sweep that fails each operation of a run in turn.
#pragma once

#include <functional>
#include <string>

struct FailedRun {
    int result;
    long operations;  // counted during the run; fewer than the failing number: none failed
    std::string err;  // standard error, byte for byte
};

// Runs `job` with operation `fail_at` (1-based, 0 for none) failing with
// `error`, standard error captured; no operation fails afterwards.
FailedRun run_failing(long fail_at, int error, const std::function<int()>& job);

// Runs `job` with operation 1, 2, ... failing in turn and hands each run to
// `check`, until a run ends before its failing operation (nothing failed) or a
// check fails fatally. Returns the number of the last run.
long sweep_failures(int error, const std::function<int()>& job,
                    const std::function<void(long n, const FailedRun& run)>& check);
