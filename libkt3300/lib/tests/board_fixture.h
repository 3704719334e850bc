// A simulated board under a private KD_ROOT, opened through the library.
#pragma once

#include "board_sim.h"
#include "kt3300.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_ = std::make_unique<boardsim::BoardSim>(opt_);
        ctx_ = kt3300_alloc();
        ASSERT_NE(ctx_, nullptr);
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(kt3300_open(ctx_), 0);
        stderr_ = ::testing::internal::GetCapturedStderr();
    }
    void TearDown() override
    {
        kt3300_free(ctx_);
        sim_.reset();
    }
    // Test-pattern block of input n.
    static uint32_t tp(unsigned n) { return 0x1000 + n * 0x200; }

    kdtest::TempRoot root_;
    boardsim::Options opt_;
    std::unique_ptr<boardsim::BoardSim> sim_;
    kt3300_ctx *ctx_ = nullptr;
    std::string stderr_;
};
