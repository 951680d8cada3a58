#include <cinttypes>
#include <cstdio>
#include <string>

#include "commands.h"
#include "json_object.h"
#include "signal_watch.h"
#include "status_line.h"
#include "sv_ring.hpp"

namespace {

// How long a one-shot status watches the write index to tell whether it moves;
// a streaming engine writes every 20 ms.
constexpr int kAliveWindowMs = 200;

struct Snapshot {
    bool present = false;
    uint64_t writeIndex = 0;
    uint64_t readIndex = 0;
    bool writerAlive = false;
};

std::string describe(const Snapshot& s, bool json) {
    const uint64_t unread = s.writeIndex - s.readIndex;
    const double lagMs = static_cast<double>(unread) / 48.0;
    const bool lapped = unread > SVRING_FRAMES;
    if (json) {
        JsonObject object;
        object.text("ring", SVRING_NAME).boolean("present", s.present);
        if (!s.present) return object.str();
        object.integer("writeIndex", s.writeIndex)
            .integer("readIndex", s.readIndex)
            .integer("unreadFrames", unread)
            .number("lagMs", lagMs, 1)
            .boolean("lapped", lapped)
            .boolean("writerAlive", s.writerAlive);
        return object.str();
    }
    char text[512];
    if (!s.present) return SVRING_NAME ": absent (no engine has started)";
    std::snprintf(text, sizeof text,
                  SVRING_NAME ": written %" PRIu64 " frames (%.2f s), consumed %" PRIu64
                              ", consumer lags %" PRIu64 " frames (%.1f ms)%s, writer %s",
                  s.writeIndex, static_cast<double>(s.writeIndex) / 48000.0, s.readIndex, unread, lagMs,
                  lapped ? " - lapped" : "",
                  s.writerAlive ? "alive (index moving)" : "idle (index not moving)");
    return text;
}

}  // namespace

int runStatus(const StatusOptions& o, SignalWatch& signals) {
    svring::Ring view;
    if (!o.watch) {
        Snapshot s;
        s.present = view.open(svring::Ring::Access::look);
        if (s.present) {
            const uint64_t before = view.writeIndex();
            signals.sleepFor(kAliveWindowMs);
            s.writeIndex = view.writeIndex();
            s.readIndex = view.readIndex();
            s.writerAlive = s.writeIndex != before;
        }
        std::printf("%s\n", describe(s, o.json).c_str());
        return s.present ? kRingOk : kRingFailed;
    }

    // Watching: the writer is alive when its index moved since the previous sample.
    uint64_t previous = 0;
    bool havePrevious = false;
    // Every sample is a result: on a terminal the line is redrawn, elsewhere each is a line.
    StatusLine line(stdout, StatusLine::Clock::duration::zero());
    const bool inPlace = line.mode() == StatusLine::Mode::live && !o.json;
    do {
        if (view.isOpen() && view.replaced()) view.close();
        if (!view.isOpen() && view.open(svring::Ring::Access::look)) havePrevious = false;
        Snapshot s;
        s.present = view.isOpen();
        if (s.present) {
            s.writeIndex = view.writeIndex();
            s.readIndex = view.readIndex();
            s.writerAlive = havePrevious && s.writeIndex != previous;
            previous = s.writeIndex;
            havePrevious = true;
        }
        if (inPlace) {
            line.show(describe(s, false));
        } else {
            std::printf("%s\n", describe(s, o.json).c_str());
            std::fflush(stdout);
        }
    } while (!signals.sleepFor(o.intervalMs));
    line.clear();
    return kRingOk;
}
