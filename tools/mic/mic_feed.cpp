#include "mic_feed.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {
constexpr double kFadeMs = 5;
}

MicFeed::MicFeed(FrameSource& source, const LatencyConfig& config)
    : source_(source),
      control_(config),
      fadeFrames_(std::min<size_t>(static_cast<size_t>(kFadeMs * config.sampleRate / 1000.0),
                                   static_cast<size_t>(control_.targetFrames()))) {}

void MicFeed::fill(float* out, size_t frames) {
    const LatencyControl::Step step = control_.plan(source_.held(), frames);
    lastRingFrame_.reset();
    if (!step.play) {
        std::fill(out, out + 2 * frames, 0.0f);
        resampler_.reset();
        return;
    }
    if (step.skip > 0) {
        scratch_.resize(2 * static_cast<size_t>(step.skip));
        source_.read(scratch_.data(), static_cast<size_t>(step.skip));
    }
    if (step.drop > 0) dropWithCrossFade(step.drop);

    const size_t need = resampler_.inputNeeded(frames, step.ratio);
    scratch_.resize(2 * need);
    const size_t got = source_.read(scratch_.data(), need);
    if (got < need) control_.reportShortfall();
    if (step.silent) {
        std::fill(out, out + 2 * frames, 0.0f);
        resampler_.reset();
        return;
    }
    resampler_.push(scratch_.data(), need);
    resampler_.process(out, frames, step.ratio);
    const double played =
        resampler_.pendingFrames() + step.ratio * static_cast<double>(frames) + Resampler::kTaps / 2;
    lastRingFrame_ =
        source_.position() - std::min(source_.position(), static_cast<uint64_t>(std::llround(played)));
}

// Jumping over the dropped frames would click; instead the frames just before the
// jump fade out while those just after it fade in. Consumes drop + fade frames and
// hands fade frames on, so exactly drop frames leave the stream.
void MicFeed::dropWithCrossFade(uint64_t drop) {
    const size_t fade = fadeFrames_;
    const size_t total = static_cast<size_t>(drop) + fade;
    scratch_.resize(2 * total);
    source_.read(scratch_.data(), total);
    const size_t jump = static_cast<size_t>(drop);
    for (size_t i = 0; i < fade; ++i) {
        const float w = 0.5f - 0.5f * std::cos(std::numbers::pi_v<float> * (static_cast<float>(i) + 0.5f) /
                                               static_cast<float>(fade));
        for (size_t c = 0; c < 2; ++c) {
            const float before = scratch_[2 * i + c];
            const float after = scratch_[2 * (jump + i) + c];
            scratch_[2 * i + c] = before + w * (after - before);
        }
    }
    resampler_.push(scratch_.data(), fade);
}

void MicFeed::reset() {
    control_.reset();
    resampler_.reset();
}
