#include "resampler.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numbers>

namespace {
constexpr int kHalf = Resampler::kTaps / 2;
constexpr double kKaiserBeta = 8.0;

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 30; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// Kernel value at distance t (in frames) from the interpolated position.
double kernel(double t) {
    if (std::abs(t) >= kHalf) return 0;
    if (t == std::round(t)) return t == 0 ? 1.0 : 0.0;  // exact zeros keep pass-through bit-exact
    const double sinc = std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
    const double r = t / kHalf;
    return sinc * besselI0(kKaiserBeta * std::sqrt(1 - r * r)) / besselI0(kKaiserBeta);
}
}  // namespace

Resampler::Resampler() : table_(kPhases + 1) {
    // Row p weighs taps j = 0..15 (input frames floor(pos) - 7 + j) for the
    // fraction p / kPhases. Each row sums to 1 so that silence and DC stay exact.
    for (int p = 0; p <= kPhases; ++p) {
        const double frac = static_cast<double>(p) / kPhases;
        double sum = 0;
        for (int j = 0; j < kTaps; ++j) {
            const int offset = j - (kHalf - 1);
            table_[p][j] = static_cast<float>(kernel(frac - offset));
            sum += table_[p][j];
        }
        for (float& c : table_[p])
            c = static_cast<float>(c / sum);
    }
    reset();
}

void Resampler::reset() {
    input_.assign(2 * (kHalf - 1), 0.0f);
    position_ = kHalf - 1;
}

size_t Resampler::inputNeeded(size_t outFrames, double ratio) const {
    if (outFrames == 0) return 0;
    double last = position_;
    for (size_t i = 1; i < outFrames; ++i)
        last += ratio;
    const size_t end = static_cast<size_t>(std::floor(last)) + kHalf + 1;  // one past the last tap
    return end > frames() ? end - frames() : 0;
}

void Resampler::push(const float* frames, size_t count) {
    input_.insert(input_.end(), frames, frames + 2 * count);
}

void Resampler::process(float* out, size_t outFrames, double ratio) {
    for (size_t i = 0; i < outFrames; ++i) {
        const double base = std::floor(position_);
        const double scaled = (position_ - base) * kPhases;
        const int phase = static_cast<int>(scaled);
        const float blend = static_cast<float>(scaled - phase);
        const std::array<float, kTaps>& a = table_[phase];
        const std::array<float, kTaps>& b = table_[phase + 1];
        const size_t first = static_cast<size_t>(base) - (kHalf - 1);
        assert(first + kTaps <= frames());
        const float* in = input_.data() + 2 * first;
        float left = 0, right = 0;
        if (blend == 0.0f) {
            for (int j = 0; j < kTaps; ++j) {
                left += a[j] * in[2 * j];
                right += a[j] * in[2 * j + 1];
            }
        } else {
            for (int j = 0; j < kTaps; ++j) {
                const float c = a[j] + blend * (b[j] - a[j]);
                left += c * in[2 * j];
                right += c * in[2 * j + 1];
            }
        }
        out[2 * i] = left;
        out[2 * i + 1] = right;
        position_ += ratio;
    }
    // Keep only the history the next position needs.
    const double base = std::floor(position_);
    const size_t keepFrom = base > kHalf - 1 ? static_cast<size_t>(base) - (kHalf - 1) : 0;
    const size_t drop = std::min(keepFrom, frames());
    if (drop > 0) {
        input_.erase(input_.begin(), input_.begin() + static_cast<long>(2 * drop));
        position_ -= static_cast<double>(drop);
    }
}
