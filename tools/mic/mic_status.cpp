#include "mic_status.h"

#include <cstdio>

std::string formatMicStatus(const MicStatus& s) {
    char text[256];
    // What matters most comes first: a terminal too narrow for the line cuts its end.
    std::snprintf(text, sizeof text,
                  "device %s, %s, held back %.1f ms (target %.0f ms), rate %+.3f %%, corrections %llu "
                  "(%.1f ms dropped), underruns %llu, server gaps %llu",
                  s.device.c_str(), s.ringAttached ? "ring attached" : "no ring yet", s.heldMs, s.targetMs,
                  (s.ratio - 1.0) * 100.0, static_cast<unsigned long long>(s.corrections), s.droppedMs,
                  static_cast<unsigned long long>(s.underruns),
                  static_cast<unsigned long long>(s.serverGaps));
    return text;
}
