#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// How many frames the bridge hands the sound server at each tick through the
// device's FIFO (module-pipe-source), and so whose clock the microphone runs on.
// - clock (PulseAudio): the server reads the FIFO as soon as data arrives, so
//   the bridge keeps time itself: the frames due by the monotonic clock since
//   the recording began. After a stall at most kMaxCatchUp is made up at once.
// - level (PipeWire): the server reads one graph cycle's worth per cycle on its
//   own clock and plays silence when the FIFO holds less. The bridge keeps the
//   FIFO filled to a level above the largest read it has seen, so the reads set
//   the pace; a tick that finds the FIFO empty means the server read short.
// Pure: the caller passes the time and the FIFO's contents.
class FifoPacer {
public:
    using Clock = std::chrono::steady_clock;
    enum class Mode { clock, level };
    struct Plan {
        size_t frames = 0;     // to write now
        bool starved = false;  // the server found the FIFO empty since the last tick
    };
    static constexpr auto kMaxCatchUp = std::chrono::milliseconds(100);
    // Beyond this the server is not reading (PulseAudio): nothing more is queued.
    static constexpr auto kMaxQueued = std::chrono::milliseconds(200);

    FifoPacer(Mode mode, double levelMs, double rate = 48000);

    // A recording begins with an empty FIFO.
    void start(Clock::time_point now);
    // queued: frames in the FIFO now. The planned frames are taken as written.
    Plan plan(Clock::time_point now, size_t queued);
    // The FIFO level kept in level mode, in frames.
    size_t level() const;

private:
    uint64_t framesIn(Clock::duration d) const;

    Mode mode_;
    double rate_;
    size_t minLevel_;
    Clock::time_point start_{};
    uint64_t handed_ = 0;     // clock: frames due so far, written or skipped
    size_t afterWrite_ = 0;   // level: FIFO contents right after the last tick
    size_t largestRead_ = 0;  // level: the largest read within the current window
    size_t previousLargest_ = 0;
    Clock::time_point windowEnd_{};
};
