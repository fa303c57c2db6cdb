// The fixture shared by the fpga tests: a fresh simulated device per test,
// and a check that no simulated descriptor is left open afterwards.
#pragma once

#include "clock_sim.h"
#include "fpga.h"
#include "spidev_sim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        spisim::Reset();
        clocksim::Sleeps().clear();
    }

    void TearDown() override {
        if (spi_target != nullptr) {
            ADD_FAILURE() << "the test left the register module connected";
            pcx_fpga_disconnect();
        }
        EXPECT_TRUE(sim().fds.empty()) << "a descriptor of the simulated device is still open";
    }

    static spisim::State &sim() { return spisim::Sim(); }

    // Forgets the traffic so far (message numbers for faults count from here).
    static void ClearLog() {
        sim().requests.clear();
        sim().records.clear();
        sim().frames.clear();
        sim().messages = 0;
    }

    // The bytes clocked out in each chip-select period, in order.
    static std::vector<std::vector<uint8_t>> FramesOut() {
        std::vector<std::vector<uint8_t>> out;
        for (const spisim::Frame &f : sim().frames)
            out.push_back(f.mosi);
        return out;
    }
};
