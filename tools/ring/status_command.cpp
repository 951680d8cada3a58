#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>

#include "commands.h"
#include "json_object.h"
#include "signal_watch.h"
#include "status_line.h"
#include "sv_ring.hpp"
#include "sv_stats.hpp"

namespace {

// How long a one-shot status watches the write index to tell whether it moves
// (a streaming engine writes every 20 ms) and the statistics for their rates.
constexpr int kAliveWindowMs = 1000;

struct Snapshot {
    bool present = false;
    uint64_t writeIndex = 0;
    uint64_t readIndex = 0;
    bool writerAlive = false;
    std::optional<SVStats> stats;
    std::optional<SVStats> before;  // the reading before, for the rates
};

// The engine's statistics, totals and rates per second between two readings
// of the same stream (rates 0 without one).
struct Counter {
    const char* name;
    uint64_t SVStats::*field;
};
constexpr Counter kCounters[] = {{"received", &SVStats::received},
                                 {"lost", &SVStats::lost},
                                 {"concealed", &SVStats::concealed},
                                 {"late", &SVStats::late},
                                 {"duplicated", &SVStats::duplicated}};

double rate(const Snapshot& s, uint64_t SVStats::*field) {
    const SVStats& now = *s.stats;
    if (!s.before || s.before->startedUs != now.startedUs || now.updatedUs <= s.before->updatedUs) return 0;
    return static_cast<double>(now.*field - (*s.before).*field) * 1e6 /
           static_cast<double>(now.updatedUs - s.before->updatedUs);
}

double streamSeconds(const SVStats& s) {
    return s.startedUs == 0 ? 0 : static_cast<double>(s.updatedUs - s.startedUs) / 1e6;
}

void describeStats(const Snapshot& s, JsonObject& json) {
    const SVStats& v = *s.stats;
    JsonObject totals, perSecond;
    totals.number("seconds", streamSeconds(v), 1);
    for (const Counter& c : kCounters) {
        totals.integer(c.name, v.*c.field);
        perSecond.number(c.name, rate(s, c.field), 1);
    }
    totals.number("jitterMs", static_cast<double>(v.jitterUs) / 1000, 1)
        .number("delayMs", static_cast<double>(v.delayUs) / 1000, 1)
        .object("perSecond", perSecond);
    json.object("stream", totals);
}

std::string describeStats(const Snapshot& s) {
    const SVStats& v = *s.stats;
    char text[128];
    std::snprintf(text, sizeof text, "; stream %.1f s:", streamSeconds(v));
    std::string out = text;
    for (const Counter& c : kCounters) {
        std::snprintf(text, sizeof text, " %s %" PRIu64 " (%.0f/s),", c.name, v.*c.field, rate(s, c.field));
        out += text;
    }
    std::snprintf(text, sizeof text, " jitter %.1f ms, delay %.0f ms", static_cast<double>(v.jitterUs) / 1000,
                  static_cast<double>(v.delayUs) / 1000);
    return out + text;
}

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
        if (s.stats) describeStats(s, object);
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
    return s.stats ? text + describeStats(s) : text;
}

// The statistics block follows the engine like the ring: reopened when replaced.
std::optional<SVStats> readStats(svring::StatsBlock& block) {
    if (block.isOpen() && block.replaced()) block.close();
    if (!block.isOpen()) block.open(svring::StatsBlock::Access::look);
    return block.read();
}

}  // namespace

int runStatus(const StatusOptions& o, SignalWatch& signals) {
    svring::Ring view;
    svring::StatsBlock stats;
    if (!o.watch) {
        Snapshot s;
        s.present = view.open(svring::Ring::Access::look);
        if (s.present) {
            const uint64_t before = view.writeIndex();
            s.before = readStats(stats);
            signals.sleepFor(kAliveWindowMs);
            s.writeIndex = view.writeIndex();
            s.readIndex = view.readIndex();
            s.writerAlive = s.writeIndex != before;
            s.stats = readStats(stats);
        }
        std::printf("%s\n", describe(s, o.json).c_str());
        return s.present ? kRingOk : kRingFailed;
    }

    // Watching: the writer is alive when its index moved since the previous sample.
    uint64_t previous = 0;
    bool havePrevious = false;
    std::optional<SVStats> previousStats;
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
            s.stats = readStats(stats);
            s.before = previousStats;
            previousStats = s.stats;
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
