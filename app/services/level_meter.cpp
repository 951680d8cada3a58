#include "level_meter.h"

#include <algorithm>
#include <cmath>

#include "sv_ring.h"

double LevelMeter::rms(const float* slots, uint64_t writeIndex) {
    if (writeIndex == 0 || !slots) return 0;
    const uint64_t n = std::min(writeIndex, kWindowFrames);
    double sum = 0;
    for (uint64_t i = writeIndex - n; i < writeIndex; ++i) {
        const uint64_t slot = i % SVRING_FRAMES;
        const double left = slots[2 * slot];
        const double right = slots[2 * slot + 1];
        sum += left * left;
        sum += right * right;
    }
    return std::sqrt(sum / (2.0 * static_cast<double>(n)));
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
