#pragma once

#include <cstdint>
#include <vector>

#include "sv_ring.hpp"

// Hands out every frame the engine writes into the ring, once and in order, and
// follows the ring when a restarted engine replaces it.
// - LookOnly maps the ring read-only and keeps its own position; Consume is the
//   consuming reader and moves the ring's read index.
// - The ring found at the first poll is recorded from that moment on; a ring
//   that appears later (a first or a restarted engine) from its first frame.
// - When the ring is replaced, the frames its engine wrote last are taken
//   before the new ring is followed.
// - Frames the writer overwrote before they could be copied are skipped and
//   counted as lost, never handed out half-written.
class RingFollower {
public:
    enum class Mode { LookOnly, Consume };
    struct Progress {
        bool attached = false;
        size_t frames = 0;  // appended by this poll
    };

    explicit RingFollower(Mode mode) : mode_(mode) {}

    // Appends the frames written since the previous poll to out (interleaved stereo).
    Progress poll(std::vector<float>& out);

    uint64_t restartsFollowed() const { return restarts_; }
    uint64_t framesLost() const { return lost_; }

private:
    bool attach(bool fromStart);
    size_t read(std::vector<float>& out);
    size_t readLookOnly(std::vector<float>& out);
    size_t readConsuming(std::vector<float>& out);

    Mode mode_;
    svring::Ring ring_;
    bool firstPoll_ = true;
    bool lostRing_ = false;  // the ring we followed was replaced; the next one counts as a restart
    uint64_t position_ = 0;  // look-only: the next running frame index to copy
    uint64_t restarts_ = 0;
    uint64_t lost_ = 0;
};
