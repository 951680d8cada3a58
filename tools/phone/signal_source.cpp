#include "signal_source.h"

#include <cmath>
#include <numbers>

namespace {
constexpr double kRate = 48000.0;
}

SignalSource::SignalSource(double hz, bool sweep, double peakDbfs)
    : hz_(hz), sweep_(sweep), amplitude_(std::pow(10.0, peakDbfs / 20.0)) {}

SignalSource SignalSource::tone(double hz, double peakDbfs) {
    return SignalSource(hz, false, peakDbfs);
}

SignalSource SignalSource::sweep(double peakDbfs) {
    return SignalSource(kSweepFromHz, true, peakDbfs);
}

double SignalSource::frequencyAt(uint64_t frame) const {
    if (!sweep_) return hz_;
    const auto period = static_cast<uint64_t>(kSweepSeconds * kRate);
    const double t = static_cast<double>(frame % period) / static_cast<double>(period);
    return kSweepFromHz * std::pow(kSweepToHz / kSweepFromHz, t);
}

// A phase accumulator keeps the sweep continuous and avoids the precision loss
// of sin(2 pi f t) for large t.
long SignalSource::read(float* out, size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<float>(amplitude_ * std::sin(2.0 * std::numbers::pi * phase_));
        out[2 * i] = v;
        out[2 * i + 1] = v;
        phase_ += frequencyAt(frame_++) / kRate;
        phase_ -= std::floor(phase_);
    }
    return static_cast<long>(frames);
}
