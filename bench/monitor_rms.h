#pragma once

#include <cstdint>

// The level meter's measurement: one RMS over both channels of the newest
// min(writeIndex, 480) ring frames, summed in double precision: the application's
// own LevelMeter, so the benchmark measures the code that runs.
double monitorRms(const float* slots, uint64_t writeIndex);
const char* monitorRmsSource();
