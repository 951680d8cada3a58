// The record of failed hellos per host that stops PIN guessing.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "hello_guard.h"

namespace {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;

uint32_t address(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

TEST(HelloGuard, FiveFailuresWithinTheWindowBlockUntilItPassesWithoutFailure) {
    HelloGuard guard;
    TimePoint t{};
    t += 1h;
    const uint32_t a = address("10.0.0.5");
    for (int i = 0; i < 4; ++i)
        guard.recordFailure(a, t + i * 10s);
    EXPECT_FALSE(guard.isBlocked(a, t + 40s));
    guard.recordFailure(a, t + 50s);
    EXPECT_TRUE(guard.isBlocked(a, t + 50s));
    EXPECT_FALSE(guard.isBlocked(address("10.0.0.6"), t + 50s));
    EXPECT_TRUE(guard.isBlocked(a, t + 109s));
    EXPECT_FALSE(guard.isBlocked(a, t + 110s));
    // Failures spread wider than the window never block.
    HelloGuard slow;
    for (int i = 0; i < 20; ++i)
        slow.recordFailure(a, t + i * 61s);
    EXPECT_FALSE(slow.isBlocked(a, t + 19 * 61s));
}

TEST(HelloGuard, StaleRecordsArePruned) {
    HelloGuard guard;
    TimePoint t{};
    t += 1h;
    for (uint32_t i = 0; i < 1000; ++i)
        guard.recordFailure(i, t);
    for (uint32_t i = 0; i < 1000; ++i)
        guard.recordFailure(100000 + i, t + 2min);
    EXPECT_LE(guard.trackedAddresses(), 1256u);
}

}  // namespace
