#include "monitor_rms.h"

#include "level_meter.h"

double monitorRms(const float* slots, uint64_t writeIndex) {
    return LevelMeter::rms(slots, writeIndex);
}

const char* monitorRmsSource() {
    return "LevelMeter::rms of app/services";
}
