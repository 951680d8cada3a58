#include "level_meter.h"

#include <algorithm>
#include <cmath>

double LevelMeter::rms(const float* frames, size_t count) {
    if (count == 0 || !frames) return 0;
    double sum = 0;
    for (size_t i = 0; i < 2 * count; ++i) {
        const double sample = frames[i];
        sum += sample * sample;
    }
    return std::sqrt(sum / (2.0 * static_cast<double>(count)));
}

LevelMeter::Reading LevelMeter::publish(double rms) {
    // NaN (a corrupt sample in shared memory) counts as silence, so it can never
    // poison the smoother.
    const double r = rms > kRmsFloor ? rms : kRmsFloor;
    const double db = 20.0 * std::log10(r);
    const double target = std::clamp((db + kScaleDb) / kScaleDb, 0.0, 1.0);
    const double coefficient = smoothed_ < target ? kAttack : kDecay;
    smoothed_ += (target - smoothed_) * coefficient;
    return {smoothed_, std::max(db, kMinDb)};
}
