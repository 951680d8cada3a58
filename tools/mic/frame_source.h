#pragma once

#include <cstddef>
#include <cstdint>

// Where the microphone's frames come from: the ring, or a simulation in tests.
// Frames are interleaved stereo floats.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Frames written but not yet read (the held-back count).
    virtual uint64_t held() const = 0;
    // Fills count frames of out, silence after the available ones; returns how
    // many carried audio.
    virtual size_t read(float* out, size_t count) = 0;
    // The ring index of the next frame read, for the latency trace; 0 when unknown.
    virtual uint64_t position() const { return 0; }
};
