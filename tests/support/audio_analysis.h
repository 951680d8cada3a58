// Measurements on interleaved stereo float audio (48 kHz); channel is 0 or 1.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace testsupport {

// The first frame at or after from whose sample reaches threshold in magnitude.
std::optional<size_t> firstLoudFrame(const std::vector<float>& x, int channel, size_t from, float threshold);
// Root mean square over [from, from + count), clipped to the audio.
double rms(const std::vector<float>& x, int channel, size_t from, size_t count);
// A tone's frequency in Hz from its rising zero crossings; 0 without two of them.
double frequency(const std::vector<float>& x, int channel, size_t from, size_t count);

// The strongest sine within 3 % of near (searched in steps of near / 2000, fine
// for a count of up to a quarter second) over
// [from, from + count): its frequency and the RMS it alone carries. Picks a
// tone out of a mix that zero crossings cannot read.
struct Tone {
    double hz = 0;
    double rms = 0;
};
Tone strongestNear(const std::vector<float>& x, int channel, size_t from, size_t count, double near);

// The longest run of quiet 10 ms windows (peak below threshold) in [from, to):
// its length in frames and the first frame after it.
struct QuietRun {
    size_t length = 0;
    size_t end = 0;
};
QuietRun longestQuiet(const std::vector<float>& x, int channel, size_t from, size_t to, float threshold);

}  // namespace testsupport
