#pragma once

#include <cstddef>

// The meter's arithmetic: RMS of the newest frames of the ring, decibels, the
// -60..0 dB scale and the attack/decay smoothing. Pure; one instance per meter.
class LevelMeter {
public:
    static constexpr size_t kWindowFrames = 480;  // 10 ms at 48 kHz
    static constexpr double kAttack = 0.5;        // share of the way up per tick
    static constexpr double kDecay = 0.15;        // share of the way down per tick
    static constexpr double kRmsFloor = 1e-7;     // -140 dB
    static constexpr double kMinDb = -80;
    static constexpr double kScaleDb = 60;  // the meter shows -60..0 dB

    struct Reading {
        double level;  // smoothed, 0..1
        double db;     // this measurement, never below kMinDb
    };

    // One RMS over both channels of count interleaved stereo frames (the newest
    // min(writeIndex, 480) of the ring), summed in double precision; 0 for none.
    static double rms(const float* frames, size_t count);

    // Takes one measurement: moves the level towards (dB + 60) / 60, clamped to
    // 0..1, by kAttack when rising and kDecay otherwise.
    Reading publish(double rms);

    void reset() { smoothed_ = 0; }
    double level() const { return smoothed_; }

private:
    double smoothed_ = 0;
};
