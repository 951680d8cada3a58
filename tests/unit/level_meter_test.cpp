#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio_monitor.h"
#include "level_meter.h"

namespace {

constexpr uint64_t kSlots = 48000;

// The ring's frame area: frame i in slot i % 48000, left then right.
struct Slots {
    std::vector<float> data = std::vector<float>(kSlots * 2, 0.0f);
    void set(uint64_t frame, float left, float right) {
        data[2 * (frame % kSlots)] = left;
        data[2 * (frame % kSlots) + 1] = right;
    }
};

TEST(LevelMeter, RmsOfTheNewest480FramesOverBothChannels) {
    Slots s;
    EXPECT_EQ(LevelMeter::rms(s.data.data(), 0), 0.0);

    for (uint64_t i = 0; i < 100; ++i)
        s.set(i, 0.5f, -0.5f);
    EXPECT_DOUBLE_EQ(LevelMeter::rms(s.data.data(), 100), 0.5);  // fewer than 480: all written

    for (uint64_t i = 0; i < 2000; ++i)
        s.set(i, i < 2000 - 480 ? 1.0f : 0.0f, 0.0f);
    EXPECT_EQ(LevelMeter::rms(s.data.data(), 2000), 0.0);  // older frames do not count

    for (uint64_t i = 0; i < 480; ++i)
        s.set(i, 1.0f, 0.0f);
    EXPECT_DOUBLE_EQ(LevelMeter::rms(s.data.data(), 480), std::sqrt(0.5));

    // Across the end of the ring: frames 47900..48379 in slots 47900..47999 and 0..379.
    Slots wrap;
    for (uint64_t i = 0; i < kSlots; ++i)
        wrap.set(i, 1.0f, 1.0f);
    for (uint64_t i = 48380 - 480; i < 48380; ++i)
        wrap.set(i, 0.25f, 0.25f);
    EXPECT_DOUBLE_EQ(LevelMeter::rms(wrap.data.data(), 48380), 0.25);
}

TEST(LevelMeter, FullScaleRisesHalfTheWayPerTick) {
    LevelMeter m;
    const double expected[] = {0.5, 0.75, 0.875, 0.9375};
    for (double e : expected) {
        const LevelMeter::Reading r = m.publish(1.0);
        EXPECT_DOUBLE_EQ(r.level, e);
        EXPECT_DOUBLE_EQ(r.db, 0.0);
    }
}

TEST(LevelMeter, TheScaleIsLinearInDecibelsFromMinus60To0) {
    LevelMeter m;
    for (int i = 0; i < 60; ++i)
        m.publish(std::pow(10.0, -30.0 / 20.0));
    EXPECT_NEAR(m.level(), 0.5, 1e-9);
    EXPECT_NEAR(m.publish(std::pow(10.0, -30.0 / 20.0)).db, -30.0, 1e-9);

    LevelMeter quiet;
    EXPECT_NEAR(quiet.publish(0.001).level, 0.0, 1e-12);  // -60 dB
    EXPECT_NEAR(quiet.publish(0.0001).level, 0.0, 1e-12);
    EXPECT_DOUBLE_EQ(quiet.publish(0.0001).db, -80.0);   // -80 dB exactly
    EXPECT_DOUBLE_EQ(quiet.publish(0.00001).db, -80.0);  // -100 dB shows as -80
}

TEST(LevelMeter, SilenceDecaysFifteenPercentPerTickAndDbNeverGoesBelowMinus80) {
    LevelMeter m;
    for (int i = 0; i < 60; ++i)
        m.publish(1.0);
    ASSERT_NEAR(m.level(), 1.0, 1e-12);
    double level = m.level();
    for (int i = 0; i < 5; ++i) {
        const LevelMeter::Reading r = m.publish(0.0);  // -140 dB before the floor
        level *= 0.85;
        EXPECT_NEAR(r.level, level, 1e-12);
        EXPECT_EQ(r.db, -80.0);
    }
    m.reset();
    EXPECT_EQ(m.level(), 0.0);
}

TEST(LevelMeter, ANanMeasurementCountsAsSilence) {
    LevelMeter m;
    m.publish(1.0);
    const LevelMeter::Reading r = m.publish(std::numeric_limits<double>::quiet_NaN());
    EXPECT_DOUBLE_EQ(r.level, 0.5 * 0.85);
    EXPECT_EQ(r.db, -80.0);
    EXPECT_DOUBLE_EQ(m.publish(1.0).level, 0.425 + 0.575 * 0.5);  // still moving
}

TEST(PlaybackSpan, CatchesUpWhenMoreThanOneRingBehind) {
    struct Case {
        uint64_t cursor, writeIndex, from, count;
    };
    const Case cases[] = {
        {100, 100, 100, 0},           // nothing new
        {200, 100, 200, 0},           // cursor ahead: nothing
        {100, 1700, 100, 1600},       // one tick's worth
        {0, 48000, 0, 48000},         // exactly one ring behind: all of it
        {0, 48001, 43201, 4800},      // more: resume 4800 behind
        {10, 160000, 155200, 4800},   //
        {1000, 100000, 95200, 4800},  //
    };
    for (const Case& c : cases) {
        const AudioMonitor::Span s = AudioMonitor::playbackSpan(c.cursor, c.writeIndex);
        EXPECT_EQ(s.from, c.from) << c.cursor << " " << c.writeIndex;
        EXPECT_EQ(s.count, c.count) << c.cursor << " " << c.writeIndex;
    }
}

}  // namespace
