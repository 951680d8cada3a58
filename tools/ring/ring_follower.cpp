#include "ring_follower.h"

#include "sv_ring.h"

namespace {
constexpr uint64_t kRingFrames = SVRING_FRAMES;
}

bool RingFollower::isOpen() const {
    return mode_ == Mode::LookOnly ? view_.isOpen() : consumer_.isOpen();
}

bool RingFollower::replaced() const {
    return mode_ == Mode::LookOnly ? view_.replaced() : consumer_.replaced();
}

bool RingFollower::attach(bool fromStart) {
    if (mode_ == Mode::LookOnly) {
        if (!view_.open()) return false;
        const uint64_t w = view_.writeIndex();
        if (!fromStart) {
            position_ = w;
        } else if (w > kRingFrames) {
            lost_ += w - kRingFrames;
            position_ = w - kRingFrames;
        } else {
            position_ = 0;
        }
        return true;
    }
    if (!consumer_.open()) return false;
    if (!fromStart) {
        // Start from now: what waited before recording began is not part of it.
        std::vector<float> discard(2 * kRingFrames);
        consumer_.read(discard.data(), kRingFrames);
    }
    return true;
}

size_t RingFollower::read(std::vector<float>& out) {
    return mode_ == Mode::LookOnly ? readLookOnly(out) : readConsuming(out);
}

RingFollower::Progress RingFollower::poll(std::vector<float>& out) {
    size_t frames = 0;
    if (isOpen() && replaced()) {
        // The old object stays mapped: take what its engine wrote last, then let go.
        frames += read(out);
        view_.close();
        consumer_.close();
        lostRing_ = true;
    }
    if (!isOpen()) {
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
    const uint64_t w = view_.writeIndex();
    if (w < position_) position_ = w;  // cannot happen within one ring object
    if (w - position_ > kRingFrames) {
        lost_ += w - position_ - kRingFrames;
        position_ = w - kRingFrames;
    }
    const auto count = static_cast<size_t>(w - position_);
    const size_t start = out.size();
    out.resize(start + 2 * count);
    view_.copyFrames(position_, count, out.data() + start);

    // Frames the writer reached again while they were being copied may be torn.
    const uint64_t after = view_.writeIndex();
    if (after > position_ + kRingFrames) {
        const auto torn = static_cast<size_t>(std::min<uint64_t>(after - kRingFrames - position_, count));
        out.erase(out.begin() + static_cast<long>(start), out.begin() + static_cast<long>(start + 2 * torn));
        lost_ += torn;
    }
    position_ = w;
    return (out.size() - start) / 2;
}

size_t RingFollower::readConsuming(std::vector<float>& out) {
    const uint64_t w = consumer_.writeIndex();
    const uint64_t r = consumer_.readIndex();
    const uint64_t waiting = w - r;
    if (waiting > kRingFrames) lost_ += waiting - kRingFrames;
    const auto count = static_cast<size_t>(std::min(waiting, kRingFrames));
    if (count == 0) return 0;
    const size_t start = out.size();
    out.resize(start + 2 * count);
    const size_t real = consumer_.read(out.data() + start, count);
    out.resize(start + 2 * real);
    return real;
}
