// The phone's simulated network: which packets it drops, delays and repeats,
// and the wire order the send schedule makes of that.
#include <gtest/gtest.h>

#include <vector>

#include "impairment.h"
#include "send_schedule.h"

namespace {

constexpr int64_t kInterval = 20'000'000;  // 20 ms in ns

struct Wire {
    std::vector<uint64_t> order;  // packet indices as they go out, lost ones included
    std::vector<bool> lost;
    uint64_t reordered = 0, duplicated = 0;
    bool operator==(const Wire&) const = default;
};

Wire wire(const ImpairmentSettings& settings, uint64_t packets) {
    Impairment impairment(settings);
    SendSchedule schedule;
    for (uint64_t i = 0; i < packets; ++i) {
        const PacketFate fate = impairment.next(kInterval);
        const auto nominal = static_cast<int64_t>(i) * kInterval;
        const auto seq = static_cast<uint32_t>(i);
        if (fate.lost) schedule.add(Transmission{nominal, 0, i, seq, true, {}});
        for (int64_t delay : fate.delaysNs)
            schedule.add(Transmission{nominal + delay, 0, i, seq, false, {}});
    }
    Wire w;
    while (!schedule.empty()) {
        const Transmission t = schedule.take();
        w.order.push_back(t.packetIndex);
        w.lost.push_back(t.lost);
    }
    w.reordered = schedule.reordered();
    w.duplicated = schedule.duplicated();
    return w;
}

// Rates over 10000 packets, counts that agree with the wire itself, and the
// same wire again for the same seed.
TEST(Impairment, RatesAndCountsAgreeWithTheWireAndTheSeedRepeatsIt) {
    struct Row {
        ImpairmentSettings s;
        double lossRate, duplicateRate, reorderRate;
    };
    const Row rows[] = {
        {{}, 0, 0, 0},
        // Without jitter a held-back packet is overtaken by exactly its successor.
        {{.loss = 0.05, .reorder = 0.05, .duplicate = 0.05, .seed = 7}, 0.05, 0.0475, 0.045},
        // Bursts of 5, each starting only outside a burst: 5p / (1 + 4p) of the packets.
        {{.loss = 0.02, .burstLoss = 5, .seed = 3}, 0.0926, 0, 0},
    };
    for (const Row& row : rows) {
        const Wire w = wire(row.s, 10000);
        EXPECT_EQ(w, wire(row.s, 10000));
        uint64_t lost = 0, highest = 0, reordered = 0;
        std::vector<int> seen(10000, 0);
        for (size_t i = 0; i < w.order.size(); ++i) {
            if (w.lost[i]) {
                ++lost;
                continue;
            }
            reordered += seen[w.order[i]] == 0 && w.order[i] < highest;
            highest = std::max(highest, w.order[i]);
            ++seen[w.order[i]];
        }
        EXPECT_NEAR(static_cast<double>(lost) / 10000, row.lossRate, 0.01);
        EXPECT_NEAR(static_cast<double>(w.duplicated) / 10000, row.duplicateRate, 0.01);
        EXPECT_NEAR(static_cast<double>(w.reordered) / 10000, row.reorderRate, 0.01);
        EXPECT_EQ(w.order.size(), 10000 + w.duplicated);
        EXPECT_EQ(w.reordered, reordered);
    }
    EXPECT_NE(wire(rows[1].s, 2000),
              wire({.loss = 0.05, .reorder = 0.05, .duplicate = 0.05, .seed = 8}, 2000));
}

// Stalls of 50..100 ms every 1.5..4.5 s: the packets due in one wait for its
// end and leave together; the other fates do not change.
TEST(Impairment, StallsHoldThePacketsDueInThemUntilTheirEnd) {
    const ImpairmentSettings plain{.loss = 0.05, .seed = 7};
    ImpairmentSettings stalling = plain;
    stalling.stallMs = 100;
    Impairment impairment(stalling), still(plain);
    std::vector<int64_t> departures;
    int64_t longest = 0;
    for (int64_t i = 0; i < 1500; ++i) {
        const PacketFate fate = impairment.next(kInterval);
        EXPECT_EQ(fate.lost, still.next(kInterval).lost);
        for (int64_t delay : fate.delaysNs) {
            departures.push_back(i * kInterval + delay);
            longest = std::max(longest, delay);
        }
    }
    int together = 0;
    for (size_t i = 1; i < departures.size(); ++i)
        together += departures[i] == departures[i - 1];
    EXPECT_GT(longest, 50'000'000);
    EXPECT_LE(longest, 100'000'000);
    EXPECT_GE(together, 10);  // about ten stalls in 30 s, each holding two to five packets
}

}  // namespace
