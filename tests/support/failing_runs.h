// The platform's test seam as tests use it: a guard that arms one fault for
// its lifetime, runs of code under test with one operation made to fail, and
// the sweep that fails each operation of a run in turn.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

enum FaultSpan { ONCE, FROM_THEN_ON };

// Arms a fault on the n-th operation of `kind` counted from here:
// `ScopedFault fault(OP_WRITE, 2, ENOSPC);` fails the second write, and with
// FROM_THEN_ON every write after it too; n = 0 arms nothing. On destruction
// the seam's faults and simulated volume are as they were before; the counts
// run on, since every use of them is relative. Guards nest.
class ScopedFault {
  public:
    ScopedFault();  // arms nothing: counts, and restores the seam
    ScopedFault(PlatformOperation kind, long n, int error, FaultSpan span = ONCE);
    // Calls `hook` at the n-th operation of `kind`, which then goes ahead.
    ScopedFault(PlatformOperation kind, long n, void (*hook)());
    // Every free-space query gets its answer from `simulated_volume`.
    explicit ScopedFault(FreeBytesQuery simulated_volume);
    ~ScopedFault();
    ScopedFault(const ScopedFault&) = delete;
    ScopedFault& operator=(const ScopedFault&) = delete;

    // Operations of `kind` since the guard was made.
    long operations(PlatformOperation kind = OP_ANY) const;

  private:
    void arm(PlatformOperation kind, long n, int error, FaultSpan span, void (*hook)());
    PlatformSeam saved_;
};

struct FailedRun {
    int result;
    long operations;  // of the failing kind; fewer than the failing number: none failed
    std::string err;  // standard error, byte for byte
};

// Runs `job` with operation `fail_at` of `kind` (1-based, 0 for none) failing
// with `error`, standard error captured; no operation fails afterwards.
FailedRun run_failing(long fail_at, int error, const std::function<int()>& job,
                      PlatformOperation kind = OP_ANY);

// Runs `job` with operation 1, 2, ... of `kind` failing in turn and hands each
// run to `check`, until a run ends before its failing operation (nothing
// failed) or a check fails fatally. Returns the number of the last run.
long sweep_failures(int error, const std::function<int()>& job,
                    const std::function<void(long n, const FailedRun& run)>& check,
                    PlatformOperation kind = OP_ANY);
