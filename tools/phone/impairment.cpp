#include "impairment.h"

#include <cmath>

Impairment::Impairment(const ImpairmentSettings& settings) : settings_(settings), state_(settings.seed) {}

bool Impairment::active() const {
    return settings_.loss > 0 || settings_.reorder > 0 || settings_.duplicate > 0 || settings_.jitterMs > 0;
}

// splitmix64: tiny, fully specified, so a seed means the same run everywhere
// (the standard library's distributions are not portable).
double Impairment::draw() {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

PacketFate Impairment::next(int64_t intervalNs) {
    const double lossDraw = draw();
    const double reorderDraw = draw();
    const double duplicateDraw = draw();
    const double jitterDraw = draw();
    const double duplicateJitterDraw = draw();

    PacketFate fate;
    if (burstLeft_ == 0 && lossDraw < settings_.loss)
        burstLeft_ = settings_.burstLoss > 0 ? settings_.burstLoss : 1;
    if (burstLeft_ > 0) {
        --burstLeft_;
        fate.lost = true;
        return fate;
    }

    const auto jitter = [this](double u) {
        return static_cast<int64_t>(std::floor(u * settings_.jitterMs * 1e6));
    };
    int64_t delay = jitter(jitterDraw);
    if (reorderDraw < settings_.reorder) {
        fate.heldBack = true;
        delay += intervalNs + intervalNs / 2;
    }
    fate.delaysNs.push_back(delay);
    if (duplicateDraw < settings_.duplicate) fate.delaysNs.push_back(delay + jitter(duplicateJitterDraw));
    return fate;
}
