#include "stream_diagnostics.h"

#include <algorithm>
#include <cmath>

namespace {

StreamFigures::Counts countsOf(const SVStats& s) {
    StreamFigures::Counts c;
    c.lost = static_cast<double>(s.lost);
    c.concealed = static_cast<double>(s.concealed);
    c.late = static_cast<double>(s.late);
    c.duplicated = static_cast<double>(s.duplicated);
    return c;
}

// The change from before to now, per second; nothing across two streams.
StreamFigures::Counts perSecond(const SVStats& now, const std::optional<SVStats>& before) {
    if (!before || before->startedUs != now.startedUs || now.updatedUs <= before->updatedUs) return {};
    const double seconds = static_cast<double>(now.updatedUs - before->updatedUs) / 1e6;
    const StreamFigures::Counts a = countsOf(now), b = countsOf(*before);
    const auto rate = [seconds](double x, double y) { return std::round((x - y) / seconds * 10) / 10; };
    return {rate(a.lost, b.lost), rate(a.concealed, b.concealed), rate(a.late, b.late),
            rate(a.duplicated, b.duplicated), 0};
}

}  // namespace

StreamDiagnostics::StreamDiagnostics(QObject* parent) : QObject(parent) {
    connect(&timer_, &QTimer::timeout, this, &StreamDiagnostics::sample);
    timer_.start(1000);
}

void StreamDiagnostics::sample() {
    if (block_.isOpen() && block_.replaced()) block_.close();
    if (!block_.isOpen() && block_.open(svring::StatsBlock::Access::look)) previous_.reset();
    const std::optional<SVStats> engine = block_.read();
    const bool moving = engine && previous_ && engine->received != previous_->received;
    quiet_ = moving ? 0 : std::min(quiet_ + 1, kQuietReadings);

    StreamFigures f;
    f.streaming = quiet_ < kQuietReadings || gateway_.has_value();
    if (engine) {
        f.total = countsOf(*engine);
        f.perSecond = perSecond(*engine, previous_);
        f.jitterMs = static_cast<double>(engine->jitterUs) / 1000;
        f.delayMs = static_cast<double>(engine->delayUs) / 1000;
    }
    if (gateway_) {
        // Over the browser's connection nothing is lost: a chunk missing at its turn comes late.
        f.total.late += gateway_->total.concealed;
        f.perSecond.late += gateway_->perSecond.concealed;
        f.total.dropped = gateway_->total.dropped;
        f.perSecond.dropped = gateway_->perSecond.dropped;
        f.jitterMs = gateway_->jitterMs;
        f.roundTripMs = gateway_->roundTripMs;
        f.delayMs += gateway_->depthMs;
    }
    previous_ = engine;
    figures_ = f;
    Q_EMIT changed();
}
