#pragma once

#include <cstddef>
#include <string>

// The floor that silence is shown at, in dBFS.
inline constexpr double kSilenceDb = -100.0;

// RMS of one channel (0 left, 1 right) of interleaved stereo frames, in dBFS
// (a full-scale square wave is 0 dB, a full-scale sine about -3 dB), never below
// kSilenceDb. No frames count as silence.
double rmsDb(const float* frames, size_t count, int channel);

// A bar of width characters: empty at -60 dBFS and below, full at 0 dBFS.
std::string meterBar(double db, int width);
