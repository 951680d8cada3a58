#include "ring_follower.h"

#include <algorithm>

namespace {
constexpr uint64_t kRingFrames = SVRING_FRAMES;
// A copy that the writer overtook starts again this far ahead of the oldest
// frame still present, so the writer's next packets cannot overtake it too.
constexpr uint64_t kOvertakenMargin = 4800;
}  // namespace

bool RingFollower::attach(bool fromStart) {
    const auto access = mode_ == Mode::LookOnly ? svring::Ring::Access::look : svring::Ring::Access::consume;
    if (!ring_.open(access)) return false;
    if (mode_ == Mode::LookOnly) {
        const uint64_t w = ring_.writeIndex();
        if (!fromStart) {
            position_ = w;
        } else if (w > kRingFrames) {
            lost_ += w - kRingFrames;
            position_ = w - kRingFrames;
        } else {
            position_ = 0;
        }
    } else if (!fromStart) {
        // Start from now: what waited before recording began is not part of it.
        std::vector<float> discard(2 * kRingFrames);
        ring_.read(discard.data(), kRingFrames);
    }
    return true;
}

size_t RingFollower::read(std::vector<float>& out) {
    return mode_ == Mode::LookOnly ? readLookOnly(out) : readConsuming(out);
}

RingFollower::Progress RingFollower::poll(std::vector<float>& out) {
    size_t frames = 0;
    if (ring_.isOpen() && ring_.replaced()) {
        // The old object stays mapped: take what its engine wrote last, then let go.
        frames += read(out);
        ring_.close();
        lostRing_ = true;
    }
    if (!ring_.isOpen()) {
        const bool fromStart = !firstPoll_;
        firstPoll_ = false;
        if (!attach(fromStart)) return {false, frames};
        if (lostRing_) ++restarts_;
        lostRing_ = false;
    }
    firstPoll_ = false;
    frames += read(out);
    return {true, frames};
}

size_t RingFollower::readLookOnly(std::vector<float>& out) {
    const size_t start = out.size();
    for (;;) {
        const uint64_t w = ring_.writeIndex();
        if (w < position_) position_ = w;  // cannot happen within one ring object
        if (w - position_ > kRingFrames) {
            lost_ += w - position_ - kRingFrames;
            position_ = w - kRingFrames;
        }
        const auto count = static_cast<size_t>(w - position_);
        out.resize(start + 2 * count);
        if (count == 0 || ring_.copyFrames(position_, out.data() + start, count) == count) {
            position_ = w;
            return count;
        }
        // The writer overtook the copy: the oldest frames may be torn.
        const uint64_t restart = ring_.writeIndex() - kRingFrames + kOvertakenMargin;
        lost_ += restart - position_;
        position_ = restart;
    }
}

size_t RingFollower::readConsuming(std::vector<float>& out) {
    const uint64_t w = ring_.writeIndex();
    const uint64_t r = ring_.readIndex();
    const uint64_t waiting = w - r;
    if (waiting > kRingFrames) lost_ += waiting - kRingFrames;
    const auto count = static_cast<size_t>(std::min(waiting, kRingFrames));
    if (count == 0) return 0;
    const size_t start = out.size();
    out.resize(start + 2 * count);
    const size_t real = ring_.read(out.data() + start, count);
    out.resize(start + 2 * real);
    return real;
}
