#include "support/failing_runs.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

FailedRun run_failing(long fail_at, int error, const std::function<int()>& job) {
    testing::internal::CaptureStderr();
    platform_fail_operation(fail_at, error);
    const int result = job();
    const long operations = platform_operation_count();
    platform_fail_operation(0, 0);
    return {result, operations, testing::internal::GetCapturedStderr()};
}

long sweep_failures(int error, const std::function<int()>& job,
                    const std::function<void(long n, const FailedRun& run)>& check) {
    for (long n = 1;; ++n) {
        SCOPED_TRACE("operation " + std::to_string(n));
        const FailedRun run = run_failing(n, error, job);
        check(n, run);
        if (run.operations < n || testing::Test::HasFatalFailure()) {
            return n;
        }
    }
}
