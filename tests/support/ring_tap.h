// Follows the engine's ring as a look-only reader, from the newest frame at the
// time it attaches, across engines that replace the ring.
#pragma once

#include <cstdint>
#include <vector>

#include "sv_ring.hpp"

namespace testsupport {

class RingTap {
public:
    // Takes in what was written since the last call; false while there is no ring.
    bool poll() {
        if (ring_.isOpen() && ring_.replaced()) ring_.close();
        if (!ring_.isOpen()) {
            if (!ring_.open(svring::Ring::Access::look)) return false;
            next_ = ring_.writeIndex();
        }
        const uint64_t end = ring_.writeIndex();
        // An engine writes up to a second of concealment at once when a new
        // sender's numbers jump; what the ring no longer holds counts as missed.
        if (end - next_ > kMostFrames) {
            missed += end - kMostFrames - next_;
            next_ = end - kMostFrames;
        }
        if (end <= next_) return true;
        std::vector<float> chunk(2 * static_cast<size_t>(end - next_));
        if (ring_.copyFrames(next_, chunk.data(), chunk.size() / 2) == chunk.size() / 2) {
            frames.insert(frames.end(), chunk.begin(), chunk.end());
            next_ = end;
        }
        return true;
    }
    std::vector<float> frames;  // interleaved stereo
    uint64_t missed = 0;

private:
    static constexpr uint64_t kMostFrames = 36000;
    svring::Ring ring_;
    uint64_t next_ = 0;
};

}  // namespace testsupport
