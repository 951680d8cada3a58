#pragma once

#include <cstdint>

// The level meter's measurement: one RMS over both channels of the newest
// min(writeIndex, 480) ring frames, summed in double precision. Uses the
// application's own LevelMeter when the build has it, otherwise the same rule
// written here (monitorRmsSource() says which).
double monitorRms(const float* slots, uint64_t writeIndex);
const char* monitorRmsSource();
