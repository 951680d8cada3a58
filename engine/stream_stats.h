#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "arrival_jitter.h"
#include "jitter_buffer.h"
#include "sv_stats.h"

// Counts what happens to one sender's stream, for the statistics block.
// - arrived: every datagram taken in, with what the jitter buffer made of it.
//   The buffer forgets numbers once played, so a late datagram whose number
//   already arrived counts as a duplicate, not as late; a late first arrival
//   of a number that was concealed no longer counts as lost.
// - played: every play-out step; a concealed step whose packet had not
//   arrived is lost until the packet comes late. An empty payload is concealed
//   but arrived, so not lost.
// - jitter: over first arrivals, each packet sent at its number times 20 ms.
// - Numbers are remembered over the last kRemembered of them; an older late
//   one counts as late.
class StreamStats {
public:
    static constexpr size_t kRemembered = 1024;
    static constexpr uint64_t kPacketUs = 20000;

    // A new stream: every count back to 0.
    void begin(uint64_t nowUs);
    void arrived(uint32_t seq, JitterBuffer::Push verdict, uint64_t nowUs);
    void played(uint32_t seq, bool concealed, bool missing);
    // The values to publish: delay from what the jitter buffer holds and what
    // the ring's consuming reader has still to read (ignored past one ring).
    SVStats snapshot(uint64_t nowUs, size_t heldPackets, uint64_t ringUnreadFrames) const;

    // CLOCK_MONOTONIC in microseconds, the block's clock.
    static uint64_t nowUs();

private:
    enum Flag : uint8_t { kArrived = 1, kConcealed = 2 };
    struct Mark {
        uint32_t seq = 0;
        uint8_t flags = 0;
    };
    Mark& mark(uint32_t seq) { return marks_[seq % kRemembered]; }
    void firstArrival(uint32_t seq, uint64_t nowUs);

    uint64_t startedUs_ = 0;
    uint64_t received_ = 0, missing_ = 0, recovered_ = 0, concealed_ = 0, late_ = 0, duplicated_ = 0;
    std::optional<uint32_t> firstSeq_;
    ArrivalJitter jitter_;
    std::array<Mark, kRemembered> marks_{};
};
