#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

// Maps the page's clock (ms since its page loaded) onto this machine's steady
// clock, from the page's pings: each carries the page's time and, once known,
// its latest round trip. A ping's arrival minus its page time is the offset
// plus the one-way delay; over the last kWindow pings (a window, so that slowly
// drifting clocks are followed) the smallest of those, less half the shortest
// round trip, is the estimate.
// - a ping of another shape (not 8 or 16 bytes, or not finite): ignored
// - no ping yet: no mapping
class PageClock {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kWindow = 32;

    void ping(const uint8_t* body, size_t size, Clock::time_point arrival);
    std::optional<Clock::time_point> toLocal(double pageMs) const;
    void reset() { pings_.clear(); }

private:
    struct Ping {
        double offsetMs;  // local steady ms minus page ms
        double rttMs;     // negative: none known yet
    };
    std::deque<Ping> pings_;
};
