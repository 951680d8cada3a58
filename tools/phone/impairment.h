#pragma once

#include <cstdint>
#include <vector>

// What the simulated network does to the stream. Probabilities are 0..1.
struct ImpairmentSettings {
    double loss = 0.0;             // chance that a loss event starts at a packet
    uint32_t burstLoss = 1;        // consecutive packets that one loss event drops
    double reorder = 0.0;          // chance that a packet is held back behind the next one
    double duplicate = 0.0;        // chance that a packet is sent a second time
    double jitterMs = 0.0;         // every datagram is delayed by 0..jitterMs, uniformly
    double stallMs = 0.0;          // a Wi-Fi in power-save: stalls of stallMs/2..stallMs
    double stallEveryMs = 3000.0;  // one every stallEveryMs/2..stallEveryMs*3/2
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
// - A packet due during a stall waits for its end (then the held packets go in
//   a burst); the stalls come from a generator of their own, so they change
//   no other fate.
class Impairment {
public:
    explicit Impairment(const ImpairmentSettings& settings);

    // intervalNs: the packet's nominal duration, which a held-back packet waits.
    PacketFate next(int64_t intervalNs);

    bool active() const;

private:
    double draw() { return draw(state_); }  // uniform in [0, 1)
    static double draw(uint64_t& state);
    int64_t stallWait(int64_t nominalNs);

    ImpairmentSettings settings_;
    uint64_t state_;
    uint64_t stallState_;
    int64_t nominalNs_ = 0;  // the next packet's nominal send time
    int64_t stallBegins_ = 0, stallEnds_ = 0;
    uint32_t burstLeft_ = 0;
};
