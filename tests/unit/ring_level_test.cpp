#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "level_meter.h"

namespace {

TEST(RingLevel, SineAndSquareReadTheirRmsInDbfs) {
    std::vector<float> frames(2 * 480);
    for (size_t i = 0; i < 480; ++i) {
        frames[2 * i] =
            static_cast<float>(std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 48000.0));
        frames[2 * i + 1] = i % 2 == 0 ? 0.5f : -0.5f;
    }
    EXPECT_NEAR(rmsDb(frames.data(), 480, 0), -3.01, 0.01);
    EXPECT_NEAR(rmsDb(frames.data(), 480, 1), -6.02, 0.01);
}

TEST(RingLevel, SilenceAndNothingSitOnTheFloor) {
    std::vector<float> frames(2 * 480, 0.0f);
    EXPECT_EQ(rmsDb(frames.data(), 480, 0), kSilenceDb);
    EXPECT_EQ(rmsDb(frames.data(), 0, 1), kSilenceDb);
    frames[0] = 1e-9f;
    EXPECT_EQ(rmsDb(frames.data(), 480, 0), kSilenceDb);
}

TEST(RingLevel, BarFillsFromMinusSixtyToZero) {
    EXPECT_EQ(meterBar(-100, 10), "..........");
    EXPECT_EQ(meterBar(-30, 10), "#####.....");
    EXPECT_EQ(meterBar(0, 10), "##########");
    EXPECT_EQ(meterBar(6, 4), "####");
}

}  // namespace
