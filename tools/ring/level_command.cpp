#include <chrono>
#include <cstdio>
#include <vector>

#include "commands.h"
#include "level_meter.h"
#include "ring_view.h"
#include "signal_watch.h"
#include "status_line.h"
#include "sv_ring.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kPeriod = std::chrono::milliseconds(100);
constexpr size_t kWindowFrames = 480;
constexpr int kBarWidth = 30;
}  // namespace

int runLevel(const LevelOptions& o, SignalWatch& signals, StatusLine& line) {
    RingView view;
    std::vector<float> window(2 * kWindowFrames);
    const auto start = Clock::now();
    auto next = start;
    uint64_t previous = 0;
    const bool inPlace = line.enabled() && !o.json;

    for (;;) {
        if (view.isOpen() && view.replaced()) view.close();
        if (!view.isOpen()) view.open();

        double left = kSilenceDb;
        double right = kSilenceDb;
        bool moving = false;
        if (view.isOpen()) {
            const uint64_t w = view.writeIndex();
            const size_t count = static_cast<size_t>(std::min<uint64_t>(w, kWindowFrames));
            view.copyFrames(w - count, count, window.data());
            left = rmsDb(window.data(), count, 0);
            right = rmsDb(window.data(), count, 1);
            moving = w != previous;
            previous = w;
        }
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        char text[256];
        if (o.json) {
            std::snprintf(text, sizeof text,
                          "{\"t\":%.2f,\"present\":%s,\"writing\":%s,\"leftDb\":%.1f,\"rightDb\":%.1f}", t,
                          view.isOpen() ? "true" : "false", moving ? "true" : "false", left, right);
        } else if (!view.isOpen()) {
            std::snprintf(text, sizeof text, "waiting for the engine (no ring " SVRING_NAME ")");
        } else {
            std::snprintf(text, sizeof text, "L %6.1f dB %s  R %6.1f dB %s%s", left,
                          meterBar(left, kBarWidth).c_str(), right, meterBar(right, kBarWidth).c_str(),
                          moving ? "" : "  (no new audio)");
        }
        if (inPlace) {
            line.show(text);
        } else {
            std::printf("%s\n", text);
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
