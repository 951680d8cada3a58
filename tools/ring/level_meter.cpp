#include "level_meter.h"

#include <algorithm>
#include <cmath>

double rmsDb(const float* frames, size_t count, int channel) {
    if (count == 0) return kSilenceDb;
    double sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const double v = frames[2 * i + static_cast<size_t>(channel)];
        sum += v * v;
    }
    const double rms = std::sqrt(sum / static_cast<double>(count));
    if (rms <= 0) return kSilenceDb;
    return std::max(kSilenceDb, 20.0 * std::log10(rms));
}

std::string meterBar(double db, int width) {
    constexpr double kBottomDb = -60.0;
    const double fraction = std::clamp((db - kBottomDb) / -kBottomDb, 0.0, 1.0);
    const int filled = static_cast<int>(std::lround(fraction * width));
    std::string bar;
    for (int i = 0; i < width; ++i)
        bar += i < filled ? "#" : ".";
    return bar;
}
