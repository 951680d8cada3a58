#include "impairment.h"

#include <cmath>

Impairment::Impairment(const ImpairmentSettings& settings)
    : settings_(settings), state_(settings.seed), stallState_(~settings.seed) {}

bool Impairment::active() const {
    return settings_.loss > 0 || settings_.reorder > 0 || settings_.duplicate > 0 || settings_.jitterMs > 0 ||
           settings_.stallMs > 0;
}

// splitmix64: tiny, fully specified, so a seed means the same run everywhere
// (the standard library's distributions are not portable).
double Impairment::draw(uint64_t& state) {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

int64_t Impairment::stallWait(int64_t nominalNs) {
    if (settings_.stallMs <= 0) return 0;
    const auto ms = [](double value) { return static_cast<int64_t>(value * 1e6); };
    while (nominalNs >= stallEnds_) {
        stallBegins_ = stallEnds_ + ms(settings_.stallEveryMs * (0.5 + draw(stallState_)));
        stallEnds_ = stallBegins_ + ms(settings_.stallMs * (0.5 + draw(stallState_) / 2));
    }
    return nominalNs >= stallBegins_ ? stallEnds_ - nominalNs : 0;
}

PacketFate Impairment::next(int64_t intervalNs) {
    const int64_t stalled = stallWait(nominalNs_);
    nominalNs_ += intervalNs;
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
    int64_t delay = stalled + jitter(jitterDraw);
    if (reorderDraw < settings_.reorder) {
        fate.heldBack = true;
        delay += intervalNs + intervalNs / 2;
    }
    fate.delaysNs.push_back(delay);
    if (duplicateDraw < settings_.duplicate) fate.delaysNs.push_back(delay + jitter(duplicateJitterDraw));
    return fate;
}
