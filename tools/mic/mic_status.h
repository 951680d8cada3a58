#pragma once

#include <cstdint>
#include <string>

// What the status line reports, once a second.
struct MicStatus {
    double heldMs = 0;  // mean held-back time over the last interval
    double targetMs = 0;
    double ratio = 1;  // ring frames per output frame
    uint64_t corrections = 0;
    double droppedMs = 0;     // total dropped by the corrections
    uint64_t underruns = 0;   // the ring ran dry
    uint64_t serverGaps = 0;  // the sound server ran out of our audio
    bool ringAttached = false;
    std::string device;  // "published (recording)", "connecting", ...
};

// "device published (recording), ring attached, held back 40.2 ms (target 40 ms),
//  rate +0.500 %, corrections 1 (41.0 ms dropped), underruns 0, server gaps 0"
std::string formatMicStatus(const MicStatus& status);
