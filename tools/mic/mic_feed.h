#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "frame_source.h"
#include "latency_control.h"
#include "resampler.h"

// Answers the sound server's requests for the microphone's playback: takes the
// frames from the source as the latency control plans, drops excess with a short
// cross-fade and resamples by the planned ratio. No sound-server code here.
class MicFeed {
public:
    MicFeed(FrameSource& source, const LatencyConfig& config);

    // Writes exactly frames interleaved stereo frames into out.
    void fill(float* out, size_t frames);
    // The ring index of the first frame the last fill played (through the
    // resampler's delay); nullopt when it played silence.
    std::optional<uint64_t> lastRingFrame() const { return lastRingFrame_; }
    // A new stream (the ring was replaced): start waiting afresh.
    void reset();

    LatencyControl& control() { return control_; }
    const LatencyControl& control() const { return control_; }

private:
    void dropWithCrossFade(uint64_t drop);

    FrameSource& source_;
    LatencyControl control_;
    Resampler resampler_;
    size_t fadeFrames_;
    std::vector<float> scratch_;
    std::optional<uint64_t> lastRingFrame_;
};
