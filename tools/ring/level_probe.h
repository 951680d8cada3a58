#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "sv_ring.hpp"

// Reads the level of the newest frames in the ring, look-only. A ring whose
// write index has not moved for 100 ms (the engine stopped, or no phone
// streams), or that is gone, reads as silence: the newest frames of a ring that
// no longer moves are old sound. Follows a restarted engine's new ring.
class LevelProbe {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kStaleAfter = std::chrono::milliseconds(100);

    struct Reading {
        bool present = false;  // a ring exists
        bool writing = false;  // its write index moved within kStaleAfter
        double leftDb = 0;
        double rightDb = 0;
    };

    Reading read(Clock::time_point now);

private:
    svring::Ring view_;
    uint64_t lastIndex_ = 0;
    Clock::time_point lastMove_{};
    std::vector<float> window_;
};
