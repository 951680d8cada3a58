#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "audio_monitor.h"
#include "level_meter.h"

namespace {

TEST(LevelMeter, RmsIsOneValueOverBothChannels) {
    const std::pair<std::vector<float>, double> cases[] = {
        {{}, 0.0},
        {{0.5f, -0.5f, 0.5f, -0.5f}, 0.5},
        {{1.0f, 0.0f, 1.0f, 0.0f}, std::sqrt(0.5)},
        {{0.0f, 0.0f, 0.5f, 0.5f}, std::sqrt(0.5 / 4)},
    };
    for (const auto& [frames, rms] : cases)
        EXPECT_DOUBLE_EQ(LevelMeter::rms(frames.data(), frames.size() / 2), rms);
}

TEST(LevelMeter, RisesHalfTheWayAndFallsFifteenPercentPerTick) {
    LevelMeter m;
    for (double expected : {0.5, 0.75, 0.875}) {
        const LevelMeter::Reading r = m.publish(1.0);
        EXPECT_DOUBLE_EQ(r.level, expected);
        EXPECT_DOUBLE_EQ(r.db, 0.0);
    }
    const LevelMeter::Reading silent = m.publish(0.0);  // -140 dB before the floor
    EXPECT_DOUBLE_EQ(silent.level, 0.875 * 0.85);
    EXPECT_EQ(silent.db, -80.0);
    const LevelMeter::Reading nan = m.publish(std::numeric_limits<double>::quiet_NaN());
    EXPECT_DOUBLE_EQ(nan.level, 0.875 * 0.85 * 0.85);  // a corrupt sample counts as silence
}

TEST(LevelMeter, TheScaleIsLinearInDecibelsFromMinus60To0) {
    const struct { double db, target; } cases[] = {{0, 1}, {-30, 0.5}, {-60, 0}, {-100, 0}, {6, 1}};
    for (const auto& c : cases) {
        LevelMeter m;
        for (int i = 0; i < 200; ++i)
            m.publish(std::pow(10.0, c.db / 20.0));
        EXPECT_NEAR(m.level(), c.target, 1e-9) << c.db;
        EXPECT_NEAR(m.publish(std::pow(10.0, c.db / 20.0)).db, std::max(c.db, -80.0), 1e-9);
    }
}

TEST(PlaybackSpan, CatchesUpWhenMoreThanOneRingBehind) {
    const struct {
        uint64_t cursor, writeIndex, from, count;
    } cases[] = {
        {100, 100, 100, 0},   {200, 100, 200, 0},      {100, 1700, 100, 1600},
        {0, 48000, 0, 48000}, {0, 48001, 43201, 4800}, {10, 160000, 155200, 4800},
    };
    for (const auto& c : cases) {
        const AudioMonitor::Span s = AudioMonitor::playbackSpan(c.cursor, c.writeIndex);
        EXPECT_EQ(s.from, c.from) << c.cursor << " " << c.writeIndex;
        EXPECT_EQ(s.count, c.count) << c.cursor << " " << c.writeIndex;
    }
}

}  // namespace
