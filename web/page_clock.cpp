#include "page_clock.h"

#include <algorithm>
#include <cmath>

#include "page_message.h"

void PageClock::ping(const uint8_t* body, size_t size, Clock::time_point arrival) {
    if (size != 8 && size != 16) return;
    const double pageMs = PageMessage::readTime(body);
    const double rttMs = size == 16 ? PageMessage::readTime(body + 8) : 0.0;
    if (!std::isfinite(pageMs) || !std::isfinite(rttMs) || rttMs < 0) return;
    const double localMs = std::chrono::duration<double, std::milli>(arrival.time_since_epoch()).count();
    offsetsMs_.push_back(localMs - pageMs - rttMs / 2);
    if (offsetsMs_.size() > kWindow) offsetsMs_.pop_front();
}

std::optional<PageClock::Clock::time_point> PageClock::toLocal(double pageMs) const {
    if (offsetsMs_.empty() || !std::isfinite(pageMs)) return std::nullopt;
    const double localMs = pageMs + *std::min_element(offsetsMs_.begin(), offsetsMs_.end());
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(localMs)));
}
