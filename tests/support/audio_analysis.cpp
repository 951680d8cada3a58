#include "audio_analysis.h"

#include <algorithm>
#include <cmath>

namespace testsupport {

namespace {
constexpr size_t kWindow = 480;

float sample(const std::vector<float>& x, int channel, size_t frame) {
    return x[2 * frame + static_cast<size_t>(channel)];
}
}  // namespace

std::optional<size_t> firstLoudFrame(const std::vector<float>& x, int channel, size_t from, float threshold) {
    for (size_t i = from; 2 * i + 1 < x.size(); ++i) {
        if (std::abs(sample(x, channel, i)) >= threshold) return i;
    }
    return std::nullopt;
}

double rms(const std::vector<float>& x, int channel, size_t from, size_t count) {
    const size_t end = std::min(from + count, x.size() / 2);
    double sum = 0;
    for (size_t i = from; i < end; ++i)
        sum += static_cast<double>(sample(x, channel, i)) * sample(x, channel, i);
    return end <= from ? 0 : std::sqrt(sum / static_cast<double>(end - from));
}

// Crossings are placed between samples by linear interpolation.
double frequency(const std::vector<float>& x, int channel, size_t from, size_t count) {
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (size_t i = from + 1; i < from + count && 2 * i + 1 < x.size(); ++i) {
        const double a = sample(x, channel, i - 1);
        const double b = sample(x, channel, i);
        if (a < 0 && b >= 0) {
            const double at = static_cast<double>(i - 1) + a / (a - b);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0 : (crossings - 1) * 48000.0 / (last - first);
}

Tone strongestNear(const std::vector<float>& x, int channel, size_t from, size_t count, double near) {
    const size_t end = std::min(from + count, x.size() / 2);
    Tone best;
    for (double hz = near * 0.97; hz <= near * 1.03; hz += near / 2000) {
        // One DFT bin at hz, the phasor turned by a fixed rotation per sample.
        const double step = 2 * M_PI * hz / 48000.0;
        const double c = std::cos(step), s = std::sin(step);
        double re = 0, im = 0, pr = 1, pi = 0;
        for (size_t i = from; i < end; ++i) {
            re += sample(x, channel, i) * pr;
            im += sample(x, channel, i) * pi;
            const double next = pr * c - pi * s;
            pi = pr * s + pi * c;
            pr = next;
        }
        const double amplitude = 2 * std::hypot(re, im) / static_cast<double>(end - from);
        if (end > from && amplitude / std::sqrt(2.0) > best.rms) best = {hz, amplitude / std::sqrt(2.0)};
    }
    return best;
}

QuietRun longestQuiet(const std::vector<float>& x, int channel, size_t from, size_t to, float threshold) {
    QuietRun best;
    QuietRun current;
    to = std::min(to, x.size() / 2);
    for (size_t w = from; w + kWindow <= to; w += kWindow) {
        float peak = 0;
        for (size_t i = w; i < w + kWindow; ++i)
            peak = std::max(peak, std::abs(sample(x, channel, i)));
        if (peak < threshold) {
            current.length += kWindow;
            current.end = w + kWindow;
            if (current.length > best.length) best = current;
        } else {
            current = QuietRun{};
        }
    }
    return best;
}

}  // namespace testsupport
