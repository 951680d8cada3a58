#include "page_clock.h"

#include <algorithm>
#include <cmath>

#include "page_message.h"

void PageClock::ping(const uint8_t* body, size_t size, Clock::time_point arrival) {
    if (size != 8 && size != 16) return;
    const double pageMs = PageMessage::readTime(body);
    const double rttMs = size == 16 ? PageMessage::readTime(body + 8) : -1.0;
    if (!std::isfinite(pageMs) || !std::isfinite(rttMs)) return;
    const double localMs = std::chrono::duration<double, std::milli>(arrival.time_since_epoch()).count();
    pings_.push_back({localMs - pageMs, rttMs});
    if (pings_.size() > kWindow) pings_.pop_front();
}

std::optional<PageClock::Clock::time_point> PageClock::toLocal(double pageMs) const {
    if (pings_.empty() || !std::isfinite(pageMs)) return std::nullopt;
    double offsetMs = pings_.front().offsetMs;
    double rttMs = -1;
    for (const Ping& p : pings_) {
        offsetMs = std::min(offsetMs, p.offsetMs);
        if (p.rttMs >= 0 && (rttMs < 0 || p.rttMs < rttMs)) rttMs = p.rttMs;
    }
    const double localMs = pageMs + offsetMs - std::max(rttMs, 0.0) / 2;
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(localMs)));
}
