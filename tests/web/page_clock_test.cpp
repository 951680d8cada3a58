// The page's clock mapped onto the gateway's from the page's pings.
#include <gtest/gtest.h>

#include <cstring>

#include "page_clock.h"

namespace {

using Clock = PageClock::Clock;
using std::chrono::milliseconds;

// A ping sent at pageMs (with the page's latest round trip, when > 0), arriving at localMs.
void ping(PageClock& clock, double pageMs, double rttMs, int64_t localMs) {
    uint8_t body[16];
    std::memcpy(body, &pageMs, 8);  // little-endian machines, as the page's DataView writes it
    std::memcpy(body + 8, &rttMs, 8);
    clock.ping(body, rttMs > 0 ? 16 : 8, Clock::time_point(milliseconds(localMs)));
}

TEST(PageClock, TakesTheQuickestPingLessHalfItsRoundTripWithinItsWindow) {
    PageClock clock;
    EXPECT_FALSE(clock.toLocal(0));
    ping(clock, 1000, 0, 5010);  // offset 4010 at most
    EXPECT_EQ(clock.toLocal(2000), Clock::time_point(milliseconds(6010)));
    ping(clock, 2000, 4, 6004);  // 4004 - 2
    ping(clock, 3000, 4, 7050);  // a slow one changes nothing
    EXPECT_EQ(clock.toLocal(2000), Clock::time_point(milliseconds(6002)));
    for (int i = 0; i < int(PageClock::kWindow); ++i)
        ping(clock, 4000 + 1000 * i, 4, 8012 + 1000 * i);  // the clocks drifted 10 ms apart
    EXPECT_EQ(clock.toLocal(2000), Clock::time_point(milliseconds(6010)));
    uint8_t odd[9] = {};
    clock.ping(odd, sizeof odd, Clock::time_point{});
    EXPECT_EQ(clock.toLocal(2000), Clock::time_point(milliseconds(6010)));
}

}  // namespace
