#include "mic_status.h"

#include <cstdio>

std::string formatMicStatus(const MicStatus& s) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "held back %.1f ms (target %.0f ms), corrections %llu (%.1f ms dropped), rate %+.3f %%, "
                  "underruns %llu, server gaps %llu, %s, device %s",
                  s.heldMs, s.targetMs, static_cast<unsigned long long>(s.corrections), s.droppedMs,
                  (s.ratio - 1.0) * 100.0, static_cast<unsigned long long>(s.underruns),
                  static_cast<unsigned long long>(s.serverGaps),
                  s.ringAttached ? "ring attached" : "no ring yet", s.device.c_str());
    return text;
}
