#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

// Evens out the bursts in which a browser's 20 ms chunks arrive over TCP, so
// the engine gets one datagram every 20 ms.
//
// - push: a chunk arrives; its lateness against the earliest-arriving chunks of
//   the last seconds sets the target depth: at once when it is later than any
//   recent one (grow fast); held while chunks come at least half as late (a
//   link that keeps stalling), then, after ten calm seconds, decaying by half
//   over about nine (shrink slowly). Target: one chunk more than that
//   lateness covers, its part beyond a chunk counted 2.5 times, at least
//   kMinDepth, at most the depth the person chose, which a stall (over two
//   chunks late) takes whole. While the stream is young (its first 3 s of
//   chunks), an underrun or a stall's target is filled at once by playing lost
//   packets, so the cushion is ready before the stream settles. Later a grown
//   target conceals nothing: after an underrun, the chunks the stall held back
//   arrive together and stay, up to the target, as the cushion for the next.
// - too deep: when more than two chunks above target are held, the oldest are
//   dropped down to the target at once (a burst after a stall it did not
//   cover); when the buffer has not run below the target for kDriftTicks, the
//   oldest chunk goes (the phone's clock runs faster than ours): the depth
//   follows the phone's clock, one chunk at a time, rarely.
// - tick (every 20 ms): before play-out starts, or after it has gone idle,
//   nothing until the target depth is held; then the oldest chunk, or an empty
//   one (played as a lost packet) when none is there. After half a second of
//   empty ticks in a row the stream counts as paused and it goes idle again.
class PlayoutBuffer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kMinDepth = 2;
    static constexpr std::chrono::microseconds kChunk{20000};

    // A page's chunk and its number in the gateway's count (empty bytes: a
    // lost packet).
    struct Chunk {
        std::vector<uint8_t> bytes;
        uint64_t number = 0;
    };

    explicit PlayoutBuffer(int maxDepth) { setMaxDepth(maxDepth); }

    void setMaxDepth(int chunks);
    void push(Chunk chunk, Clock::time_point arrival);
    std::optional<Chunk> tick();

    int target() const { return target_; }
    int maxDepth() const { return maxDepth_; }
    size_t depth() const { return chunks_.size(); }
    bool playing() const { return playing_; }
    uint64_t concealed() const { return concealed_; }
    uint64_t dropped() const { return dropped_; }

private:
    void updateTarget(std::chrono::microseconds lateness);
    bool young() const { return arrivals_ <= kYoungChunks; }
    bool stalled() const;  // the lateness the target covers is a stall's

    static constexpr int kPausedTicks = 25;
    static constexpr int kDriftTicks = 100;
    static constexpr uint64_t kYoungChunks = 150;
    static constexpr int kWindowBuckets = 8;  // seconds of history for the earliest arrival
    static constexpr int kBucketChunks = 50;  // one second of chunks per bucket

    int maxDepth_ = kMinDepth;
    int target_ = kMinDepth;
    double peakUs_ = 0;   // the lateness the target covers, decaying
    int calmChunks_ = 0;  // arrivals in a row less than half as late as the peak
    std::deque<Chunk> chunks_;
    bool playing_ = false;
    int emptyTicks_ = 0;
    int fullTicks_ = 0;       // ticks in a row that left at least the target held
    bool refilling_ = false;  // a young stream, until the target is held
    uint64_t concealed_ = 0;
    uint64_t dropped_ = 0;

    // Arrival offsets (arrival minus the chunk's place in the stream): each
    // bucket keeps the smallest of one second; the window's smallest is the
    // stream's on-time line. Restarted whenever play-out goes idle.
    uint64_t arrivals_ = 0;
    std::optional<Clock::time_point> origin_;
    std::deque<std::chrono::microseconds> bucketMinimum_;
};
