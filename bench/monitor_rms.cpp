#include "monitor_rms.h"

#include "sv_ring.h"

#ifdef SONVALE_BENCH_HAVE_LEVEL_METER
#include "level_meter.h"

double monitorRms(const float* slots, uint64_t writeIndex) {
    return LevelMeter::rms(slots, writeIndex);
}

const char* monitorRmsSource() {
    return "LevelMeter::rms of app/services";
}

#else
#include <algorithm>
#include <cmath>

double monitorRms(const float* slots, uint64_t writeIndex) {
    if (writeIndex == 0) return 0;
    const uint64_t n = std::min<uint64_t>(writeIndex, 480);
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

const char* monitorRmsSource() {
    return "the meter's RMS rule written in the benchmark (app/services not in this build)";
}
#endif
