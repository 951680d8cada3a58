#pragma once

#include <QObject>
#include <QTimer>

#include <optional>

#include "gateway_event.h"
#include "stream_figures.h"
#include "sv_stats.hpp"

// Gathers the stream's figures once a second for the window and the status
// line. Every phone's stream passes the engine, whose statistics block gives
// the counts and the delay; while a browser streams, the gateway's stats event
// adds what only it sees: the jitter and round trip of the phone's own network,
// the chunks that missed their turn (counted late: the browser's connection
// loses nothing), the chunks it dropped and its playout depth (added to the
// delay). A stream
// counts as running while the engine takes in datagrams or a browser streams.
// Main thread only.
class StreamDiagnostics : public QObject {
    Q_OBJECT
public:
    explicit StreamDiagnostics(QObject* parent = nullptr);

    const StreamFigures& figures() const { return figures_; }
    // The gateway's latest stats event; browserStopped when its stream ended.
    void gatewayStats(const GatewayEvent::Stats& stats) { gateway_ = stats; }
    void browserStopped() { gateway_.reset(); }

Q_SIGNALS:
    // After each reading, once a second.
    void changed();

private:
    void sample();

    static constexpr int kQuietReadings = 3;  // a stream stalled this long counts as ended

    svring::StatsBlock block_;
    std::optional<SVStats> previous_;
    std::optional<GatewayEvent::Stats> gateway_;
    int quiet_ = kQuietReadings;
    StreamFigures figures_;
    QTimer timer_;
};
