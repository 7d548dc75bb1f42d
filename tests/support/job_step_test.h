// A fixture for tests of one step of the job (indexing, writing) on a PC-VAN
// log with line checking. The process-wide settings the step reads and
// changes are put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include "logindex/forum_banner.h"
#include "logindex/run_options.h"

class JobStepTest : public testing::Test {
  protected:
    void SetUp() override {
        saved_options_ = run_options;
        run_options = RunOptions{SERVICE_PCVAN, 1, 1, 0};
        reset_forum_banner();
    }
    void TearDown() override {
        run_options = saved_options_;
        reset_forum_banner();
    }

  private:
    RunOptions saved_options_{};
};
