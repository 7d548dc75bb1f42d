#include "support/failing_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

ScopedFault::ScopedFault() : saved_(platform_seam) {}

ScopedFault::ScopedFault(PlatformOperation kind, long n, int error, FaultSpan span)
    : saved_(platform_seam) {
    arm(kind, n, error, span, nullptr);
}

ScopedFault::ScopedFault(PlatformOperation kind, long n, void (*hook)()) : saved_(platform_seam) {
    arm(kind, n, 0, ONCE, hook);
}

ScopedFault::ScopedFault(FreeBytesQuery simulated_volume) : saved_(platform_seam) {
    platform_seam.free_bytes_query = simulated_volume;
}

ScopedFault::~ScopedFault() {
    const PlatformSeam running = platform_seam;
    platform_seam = saved_;
    std::copy(std::begin(running.counts), std::end(running.counts), platform_seam.counts);
}

void ScopedFault::arm(PlatformOperation kind, long n, int error, FaultSpan span, void (*hook)()) {
    if (n == 0) {
        return;
    }
    if (platform_seam.armed == PLATFORM_FAULT_SLOTS) {
        ADD_FAILURE() << "more than " << PLATFORM_FAULT_SLOTS << " faults at once";
        return;
    }
    platform_seam.faults[platform_seam.armed++] = {kind, platform_seam.counts[kind] + n, error,
                                                   span == FROM_THEN_ON, hook};
}

long ScopedFault::operations(PlatformOperation kind) const {
    return platform_seam.counts[kind] - saved_.counts[kind];
}

FailedRun run_failing(long fail_at, int error, const std::function<int()>& job,
                      PlatformOperation kind) {
    testing::internal::CaptureStderr();
    const ScopedFault fault(kind, fail_at, error);
    const int result = job();
    return {result, fault.operations(kind), testing::internal::GetCapturedStderr()};
}

long sweep_failures(int error, const std::function<int()>& job,
                    const std::function<void(long n, const FailedRun& run)>& check,
                    PlatformOperation kind) {
    for (long n = 1;; ++n) {
        SCOPED_TRACE("operation " + std::to_string(n));
        const FailedRun run = run_failing(n, error, job, kind);
        check(n, run);
        if (run.operations < n || testing::Test::HasFatalFailure()) {
            return n;
        }
    }
}
