#pragma once

#include <array>
#include <cstddef>
#include <vector>

// Stereo interpolator for ratios near 1: a 16-tap windowed-sinc kernel whose
// fractional phase is interpolated from a table of 256 phases. At ratio 1 and an
// integer position it passes frames through bit-exactly. It delays the signal by
// 8 frames (the kernel's half width).
//
// Usage per request: n = inputNeeded(out, ratio); push(n frames); process(out, ratio).
// The ratio (input frames per output frame) may change between requests.
class Resampler {
public:
    static constexpr int kTaps = 16;
    static constexpr int kPhases = 256;

    Resampler();

    // Silence as history, position at the first frame pushed next.
    void reset();
    // Input frames that must be pushed before process(outFrames, ratio) can run.
    size_t inputNeeded(size_t outFrames, double ratio) const;
    void push(const float* frames, size_t count);
    // Writes outFrames interleaved stereo frames; the input must suffice (inputNeeded).
    void process(float* out, size_t outFrames, double ratio);

    // Input frames pushed but not yet passed by the read position.
    double pendingFrames() const { return static_cast<double>(frames()) - position_; }

private:
    size_t frames() const { return input_.size() / 2; }

    std::vector<std::array<float, kTaps>> table_;  // kPhases + 1 rows
    std::vector<float> input_;                     // interleaved, from kTaps/2 - 1 frames of history
    double position_ = 0;                          // read position in input_ frames
};
