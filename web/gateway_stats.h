#pragma once

#include <QJsonObject>

#include <chrono>
#include <cstdint>
#include <optional>

#include "arrival_jitter.h"

// How a browser's stream goes as the gateway sees it, sampled once a second
// for the "stats" event and the page's Stats message:
//   chunks      the page's audio chunks that arrived
//   concealed   ticks that found no chunk (the engine conceals them)
//   dropped     chunks dropped because the playout buffer was too deep
//   jitterMs    arrival jitter of the chunks, each 20 ms after the one before
//   roundTripMs the page's latest ping round trip; absent until it reports one
//   depthMs     what the playout buffer holds
// Totals count since the stream began; "perSecond" holds the change since the
// previous sample, scaled to one second. Main thread only.
class GatewayStats {
public:
    using Clock = std::chrono::steady_clock;

    void begin(Clock::time_point now);
    void chunk(Clock::time_point arrival);
    void roundTrip(double ms) { roundTripMs_ = ms; }
    // concealed and dropped: the playout buffer's totals for this stream.
    QJsonObject sample(Clock::time_point now, uint64_t concealed, uint64_t dropped, int depthChunks);

private:
    struct Counts {
        uint64_t chunks = 0, concealed = 0, dropped = 0;
    };

    Counts total_;
    Counts previous_;
    Clock::time_point start_{};
    Clock::time_point previousAt_{};
    ArrivalJitter jitter_;
    std::optional<double> roundTripMs_;
};
