// The ring tool's level meter: RMS in dBFS per channel and its text bar.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "level_meter.h"

namespace {

TEST(RingLevel, ChannelsReadTheirOwnRmsInDbfs) {
    // Left a full-scale sine (-3.01 dB), right a square of 0.5 (-6.02 dB).
    std::vector<float> frames(2 * 480);
    for (size_t i = 0; i < 480; ++i) {
        frames[2 * i] =
            static_cast<float>(std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 48000.0));
        frames[2 * i + 1] = i % 2 == 0 ? 0.5f : -0.5f;
    }
    EXPECT_NEAR(rmsDb(frames.data(), 480, 0), -3.01, 0.01);
    EXPECT_NEAR(rmsDb(frames.data(), 480, 1), -6.02, 0.01);
    // Silence, a whisper below the floor and no frames at all sit on the floor.
    std::fill(frames.begin(), frames.end(), 0.0f);
    frames[0] = 1e-9f;
    EXPECT_EQ(rmsDb(frames.data(), 480, 0), rmsDb(frames.data(), 480, 1));
    EXPECT_EQ(rmsDb(frames.data(), 0, 0), rmsDb(frames.data(), 480, 1));
    EXPECT_LE(rmsDb(frames.data(), 480, 1), -100);
}

TEST(RingLevel, BarFillsFromMinusSixtyToZero) {
    const std::pair<double, const char*> rows[] = {
        {-100, ".........."}, {-60, ".........."}, {-30, "#####....."}, {0, "##########"}, {6, "##########"}};
    for (const auto& [db, bar] : rows)
        EXPECT_EQ(meterBar(db, 10), bar) << db;
}

}  // namespace
