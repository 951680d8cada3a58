#include <gtest/gtest.h>

#include <vector>

#include "impairment.h"
#include "send_schedule.h"

namespace {

constexpr int64_t kInterval = 20'000'000;  // 20 ms in ns

struct WireEvent {
    uint64_t index;
    bool lost;
    bool operator==(const WireEvent&) const = default;
};

// Runs packets through the simulated network and returns the wire order.
std::vector<WireEvent> wire(const ImpairmentSettings& settings, uint64_t packets, SendSchedule& schedule) {
    Impairment impairment(settings);
    for (uint64_t i = 0; i < packets; ++i) {
        const PacketFate fate = impairment.next(kInterval);
        const int64_t nominal = static_cast<int64_t>(i) * kInterval;
        if (fate.lost) {
            schedule.add(Transmission{nominal, 0, i, static_cast<uint32_t>(i), true, {}});
        }
        for (int64_t delay : fate.delaysNs)
            schedule.add(Transmission{nominal + delay, 0, i, static_cast<uint32_t>(i), false, {}});
    }
    std::vector<WireEvent> out;
    while (!schedule.empty()) {
        const Transmission t = schedule.take();
        out.push_back({t.packetIndex, t.lost});
    }
    return out;
}

TEST(Impairment, NoSettingsMeansTheStreamAsItIs) {
    SendSchedule schedule;
    const std::vector<WireEvent> events = wire(ImpairmentSettings{}, 500, schedule);
    ASSERT_EQ(events.size(), 500u);
    for (uint64_t i = 0; i < 500; ++i)
        EXPECT_EQ(events[i], (WireEvent{i, false}));
    EXPECT_EQ(schedule.reordered(), 0u);
    EXPECT_EQ(schedule.duplicated(), 0u);
}

TEST(Impairment, SameSeedSameWireOrderOtherSeedAnother) {
    ImpairmentSettings s;
    s.loss = 0.05;
    s.reorder = 0.05;
    s.duplicate = 0.05;
    s.jitterMs = 8;
    s.seed = 42;
    SendSchedule a, b, c;
    const auto first = wire(s, 2000, a);
    EXPECT_EQ(first, wire(s, 2000, b));
    s.seed = 43;
    EXPECT_NE(first, wire(s, 2000, c));
}

TEST(Impairment, RatesAndCountsAgreeWithTheWire) {
    ImpairmentSettings s;
    s.loss = 0.05;
    s.reorder = 0.05;
    s.duplicate = 0.05;
    s.seed = 7;
    SendSchedule schedule;
    const auto events = wire(s, 10000, schedule);
    uint64_t lost = 0, sent = 0;
    for (const WireEvent& e : events)
        (e.lost ? lost : sent) += 1;
    EXPECT_NEAR(static_cast<double>(lost) / 10000, 0.05, 0.01);
    EXPECT_EQ(sent, 10000 - lost + schedule.duplicated());
    EXPECT_NEAR(static_cast<double>(schedule.duplicated()) / 10000, 0.0475, 0.01);
    // A held-back packet is overtaken by exactly its successor when there is no jitter.
    EXPECT_NEAR(static_cast<double>(schedule.reordered()) / 10000, 0.045, 0.01);
}

TEST(Impairment, HeldBackPacketGoesRightAfterItsSuccessor) {
    ImpairmentSettings s;
    s.reorder = 1.0;  // every packet waits one and a half intervals
    SendSchedule schedule;
    const auto events = wire(s, 3, schedule);
    // Each is held by 30 ms: 0 at 30, 1 at 50, 2 at 70 ms; order kept, nothing overtaken.
    EXPECT_EQ(events, (std::vector<WireEvent>{{0, false}, {1, false}, {2, false}}));

    Impairment one(ImpairmentSettings{0, 1, 1.0, 0, 0, 1});
    EXPECT_TRUE(one.next(kInterval).heldBack);
    SendSchedule mixed;
    mixed.add(Transmission{0 + kInterval + kInterval / 2, 0, 0, 0, false, {}});
    mixed.add(Transmission{kInterval, 0, 1, 1, false, {}});
    mixed.add(Transmission{2 * kInterval, 0, 2, 2, false, {}});
    EXPECT_EQ(mixed.take().packetIndex, 1u);
    EXPECT_EQ(mixed.take().packetIndex, 0u);
    EXPECT_EQ(mixed.take().packetIndex, 2u);
    EXPECT_EQ(mixed.reordered(), 1u);
}

TEST(Impairment, BurstLossDropsRunsOfTheGivenLength) {
    ImpairmentSettings s;
    s.loss = 0.02;
    s.burstLoss = 5;
    s.seed = 3;
    SendSchedule schedule;
    const auto events = wire(s, 5000, schedule);
    std::vector<int> runs;
    int run = 0;
    for (const WireEvent& e : events) {
        if (e.lost) {
            ++run;
        } else if (run > 0) {
            runs.push_back(run);
            run = 0;
        }
    }
    ASSERT_FALSE(runs.empty());
    // Back-to-back events can join runs, so every run is a multiple of five.
    for (int r : runs)
        EXPECT_EQ(r % 5, 0) << r;
}

TEST(Impairment, JitterStaysWithinItsBound) {
    ImpairmentSettings s;
    s.jitterMs = 5;
    s.duplicate = 0.5;
    Impairment impairment(s);
    for (int i = 0; i < 1000; ++i) {
        const PacketFate fate = impairment.next(kInterval);
        ASSERT_FALSE(fate.delaysNs.empty());
        EXPECT_GE(fate.delaysNs.front(), 0);
        EXPECT_LE(fate.delaysNs.front(), 5'000'000);
        for (int64_t d : fate.delaysNs)
            EXPECT_LE(d, 10'000'000);
    }
}

}  // namespace
