#pragma once

#include <cstdint>
#include <vector>

// What the simulated network does to the stream. Probabilities are 0..1.
struct ImpairmentSettings {
    double loss = 0.0;       // chance that a loss event starts at a packet
    uint32_t burstLoss = 1;  // consecutive packets that one loss event drops
    double reorder = 0.0;    // chance that a packet is held back behind the next one
    double duplicate = 0.0;  // chance that a packet is sent a second time
    double jitterMs = 0.0;   // every datagram is delayed by 0..jitterMs, uniformly
    uint64_t seed = 1;
};

// The fate of one packet: lost, or sent once or twice, each transmission delayed
// relative to the packet's nominal send time.
struct PacketFate {
    bool lost = false;
    bool heldBack = false;
    std::vector<int64_t> delaysNs;  // one per transmission; empty when lost
};

// Decides packet fates from a seeded generator, one packet after the other.
// - The same settings and seed give the same fates on every machine: the
//   generator is a fixed algorithm and every packet consumes the same number of
//   draws, whatever its fate.
// - A held-back packet is delayed by one and a half packet intervals, so it
//   goes out right after the next packet.
// - A duplicate gets its own jitter draw; without jitter it follows its original.
class Impairment {
public:
    explicit Impairment(const ImpairmentSettings& settings);

    // intervalNs: the packet's nominal duration, which a held-back packet waits.
    PacketFate next(int64_t intervalNs);

    bool active() const;

private:
    double draw();  // uniform in [0, 1)

    ImpairmentSettings settings_;
    uint64_t state_;
    uint32_t burstLeft_ = 0;
};
