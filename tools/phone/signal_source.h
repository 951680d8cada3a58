#pragma once

#include <cstdint>

#include "pcm_source.h"

// Generated test signals, the same on both channels, without end.
// - tone: a sine of fixed frequency.
// - sweep: a logarithmic sine sweep from 20 Hz to 20 kHz in 10 s, repeated.
class SignalSource : public PcmSource {
public:
    static constexpr double kSweepFromHz = 20.0;
    static constexpr double kSweepToHz = 20000.0;
    static constexpr double kSweepSeconds = 10.0;

    static SignalSource tone(double hz, double peakDbfs);
    static SignalSource sweep(double peakDbfs);

    long read(float* out, size_t frames) override;

private:
    SignalSource(double hz, bool sweep, double peakDbfs);
    double frequencyAt(uint64_t frame) const;

    double hz_;
    bool sweep_;
    double amplitude_;
    double phase_ = 0.0;  // in cycles, kept in [0, 1)
    uint64_t frame_ = 0;
};
