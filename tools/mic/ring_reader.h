#pragma once

#include <cstdint>
#include <memory>

#include "frame_source.h"
#include "sv_ring.hpp"

// The ring's consuming reader, following engine restarts: a new engine replaces
// the ring by a new object of the same name.
class RingReader : public FrameSource {
public:
    enum class Change {
        none,
        attached,    // there was no ring, now there is
        reattached,  // a new engine replaced the ring
    };

    // Attaches when no ring is mapped yet, or to the new ring once the mapped
    // one was replaced. Until the new ring exists the old one stays mapped, so
    // its last frames are still played. Cheap enough to call a few times a second.
    Change refresh();
    bool attached() const { return ring_ != nullptr; }

    uint64_t held() const override;
    size_t read(float* out, size_t count) override;
    uint64_t position() const override { return ring_ ? ring_->readIndex() : 0; }

private:
    std::unique_ptr<svring::Ring> ring_;
};
