#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "commands.h"
#include "json_object.h"
#include "level_meter.h"
#include "level_probe.h"
#include "signal_watch.h"
#include "status_line.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kPeriod = std::chrono::milliseconds(100);
constexpr int kLongestBar = 30;
constexpr int kShortestBar = 5;
// "L -100.0 dB ", "  R -100.0 dB " and "  (no new audio)" beside the two bars.
constexpr int kTextColumns = 42;
}  // namespace

int runLevel(const LevelOptions& o, SignalWatch& signals) {
    LevelProbe probe;
    StatusLine line(stdout);
    const auto start = Clock::now();
    auto next = start;

    for (;;) {
        const auto now = Clock::now();
        const LevelProbe::Reading r = probe.read(now);
        const double t = std::chrono::duration<double>(now - start).count();
        if (o.json) {
            JsonObject json;
            json.number("t", t, 2)
                .boolean("present", r.present)
                .boolean("writing", r.writing)
                .number("leftDb", r.leftDb, 1)
                .number("rightDb", r.rightDb, 1);
            std::printf("%s\n", json.str().c_str());
            std::fflush(stdout);
        } else if (!r.present) {
            line.show("waiting for the engine (no ring " SVRING_NAME ")", now);
        } else {
            // The bars shrink to fit a narrow terminal.
            const size_t columns = line.width();
            const int bar = columns == 0 ? kLongestBar
                                         : std::clamp((static_cast<int>(columns) - 1 - kTextColumns) / 2,
                                                      kShortestBar, kLongestBar);
            char meter[256];
            std::snprintf(meter, sizeof meter, "L %6.1f dB %s  R %6.1f dB %s%s", r.leftDb,
                          meterBar(r.leftDb, bar).c_str(), r.rightDb, meterBar(r.rightDb, bar).c_str(),
                          r.writing ? "" : "  (no new audio)");
            line.show(meter, now);
        }

        next += kPeriod;
        if (o.seconds > 0 && next - start > std::chrono::duration<double>(o.seconds)) break;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
        if (signals.sleepFor(static_cast<int>(std::max<long>(0, wait.count())))) break;
    }
    line.keep();
    return kRingOk;
}
