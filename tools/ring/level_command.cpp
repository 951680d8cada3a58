#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "json_object.h"
#include "level_meter.h"
#include "signal_watch.h"
#include "status_line.h"
#include "sv_ring.hpp"

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kPeriod = std::chrono::milliseconds(100);
constexpr size_t kWindowFrames = 480;
constexpr int kBarWidth = 30;
}  // namespace

int runLevel(const LevelOptions& o, SignalWatch& signals, StatusLine& line) {
    svring::Ring view;
    std::vector<float> window(2 * kWindowFrames);
    const auto start = Clock::now();
    auto next = start;
    uint64_t previous = 0;
    const bool inPlace = line.enabled() && !o.json;

    for (;;) {
        if (view.isOpen() && view.replaced()) view.close();
        if (!view.isOpen()) view.open(svring::Ring::Access::look);

        double left = kSilenceDb;
        double right = kSilenceDb;
        bool moving = false;
        if (view.isOpen()) {
            // A ring younger than the window is measured over the frames it has.
            const uint64_t w = view.copyNewest(window.data(), kWindowFrames);
            const auto count = static_cast<size_t>(std::min<uint64_t>(w, kWindowFrames));
            const float* newest = window.data() + 2 * (kWindowFrames - count);
            left = rmsDb(newest, count, 0);
            right = rmsDb(newest, count, 1);
            moving = w != previous;
            previous = w;
        }
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        std::string text;
        if (o.json) {
            JsonObject json;
            json.number("t", t, 2)
                .boolean("present", view.isOpen())
                .boolean("writing", moving)
                .number("leftDb", left, 1)
                .number("rightDb", right, 1);
            text = json.str();
        } else if (!view.isOpen()) {
            text = "waiting for the engine (no ring " SVRING_NAME ")";
        } else {
            char meter[256];
            std::snprintf(meter, sizeof meter, "L %6.1f dB %s  R %6.1f dB %s%s", left,
                          meterBar(left, kBarWidth).c_str(), right, meterBar(right, kBarWidth).c_str(),
                          moving ? "" : "  (no new audio)");
            text = meter;
        }
        if (inPlace) {
            line.show(text);
        } else {
            std::printf("%s\n", text.c_str());
            std::fflush(stdout);
        }

        next += kPeriod;
        if (o.seconds > 0 && next - start > std::chrono::duration<double>(o.seconds)) break;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
        if (signals.sleepFor(static_cast<int>(std::max<long>(0, wait.count())))) break;
    }
    line.clear();
    return kRingOk;
}
