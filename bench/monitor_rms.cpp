#include "monitor_rms.h"

#include <algorithm>

#include "level_meter.h"
#include "sv_ring.h"

double monitorRms(const float* slots, uint64_t writeIndex) {
    // The monitor copies the newest frames out of the ring, then measures them.
    float window[LevelMeter::kWindowFrames * 2];
    const auto n = static_cast<size_t>(std::min<uint64_t>(writeIndex, LevelMeter::kWindowFrames));
    for (size_t k = 0; k < n; ++k) {
        const uint64_t slot = (writeIndex - n + k) % SVRING_FRAMES;
        window[2 * k] = slots[2 * slot];
        window[2 * k + 1] = slots[2 * slot + 1];
    }
    return LevelMeter::rms(window, n);
}

const char* monitorRmsSource() {
    return "LevelMeter::rms of app/services";
}
