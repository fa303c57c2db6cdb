// wait_ms against the interposed clock_nanosleep: how a delay is split, the
// clock and flags, and that 0 makes no call.

#include "clock_sim.h"
#include "fpga.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct DelayCase {
    unsigned long ms;
    bool sleeps;
    time_t sec;
    long nsec;
};

void PrintTo(const DelayCase &p, std::ostream *os) { *os << p.ms << " ms"; }

class WaitMs : public ::testing::TestWithParam<DelayCase> {
protected:
    void SetUp() override { clocksim::Sleeps().clear(); }
};

TEST_P(WaitMs, SleepsOnceOnTheMonotonicClockForARelativeInterval) {
    const DelayCase &c = GetParam();
    wait_ms(c.ms);
    const auto &sleeps = clocksim::Sleeps();
    if (!c.sleeps) {
        EXPECT_TRUE(sleeps.empty());
        return;
    }
    ASSERT_EQ(sleeps.size(), 1u);
    EXPECT_EQ(sleeps[0].clock, CLOCK_MONOTONIC);
    EXPECT_EQ(sleeps[0].flags, 0) << "an absolute deadline instead of an interval";
    EXPECT_EQ(sleeps[0].request.tv_sec, c.sec);
    EXPECT_EQ(sleeps[0].request.tv_nsec, c.nsec);
    EXPECT_TRUE(sleeps[0].remaining_given);
}

INSTANTIATE_TEST_SUITE_P(Splits, WaitMs,
                         ::testing::Values(DelayCase{0, false, 0, 0},
                                           DelayCase{1, true, 0, 1000000},
                                           DelayCase{999, true, 0, 999000000},
                                           DelayCase{1000, true, 1, 0},
                                           DelayCase{1500, true, 1, 500000000},
                                           DelayCase{4294967295ul, true, 4294967, 295000000}),
                         [](const auto &info) {
                             return "Ms" + std::to_string(info.param.ms);
                         });

}  // namespace
