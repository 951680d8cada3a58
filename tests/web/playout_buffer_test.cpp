// The playout buffer against arrival patterns, on a simulated clock.
#include <gtest/gtest.h>

#include <functional>

#include "playout_buffer.h"

namespace {

using Clock = PlayoutBuffer::Clock;
using std::chrono::milliseconds;

struct Played {
    uint64_t sent = 0, concealed = 0;
    int64_t lastConcealedMs = -1;
    size_t deepest = 0;
};

// Chunk k arrives at arrival(k) ms; the buffer ticks every 20 ms from 0 to
// endMs. Chunks carry their number so that order can be checked.
Played simulate(PlayoutBuffer& buffer, const std::function<int64_t(uint32_t)>& arrival, int64_t endMs,
                uint32_t chunks) {
    Played run;
    uint32_t next = 0;
    uint32_t lastPlayed = 0;
    const Clock::time_point zero{};
    for (int64_t t = 0; t <= endMs; ++t) {
        while (next < chunks && arrival(next) <= t) {
            buffer.push({uint8_t(next), uint8_t(next >> 8), uint8_t(next >> 16)}, zero + milliseconds(t));
            ++next;
        }
        run.deepest = std::max(run.deepest, buffer.depth());
        if (t % 20 != 0) continue;
        if (auto chunk = buffer.tick()) {
            ++run.sent;
            if (chunk->empty()) {
                ++run.concealed;
                run.lastConcealedMs = t;
                continue;
            }
            const uint32_t played = (*chunk)[0] | (*chunk)[1] << 8 | (*chunk)[2] << 16;
            EXPECT_TRUE(played > lastPlayed || run.sent == 1) << played << " after " << lastPlayed;
            lastPlayed = played;
        }
    }
    return run;
}

TEST(PlayoutBuffer, AnEvenStreamPlaysAtTheSmallestDepth) {
    PlayoutBuffer buffer(6);
    const Played run = simulate(
        buffer, [](uint32_t k) { return 5 + 20 * int64_t(k); }, 10000, 500);
    EXPECT_EQ(run.concealed, 0u);
    EXPECT_EQ(buffer.dropped(), 0u);
    EXPECT_EQ(buffer.target(), PlayoutBuffer::kMinDepth);
}

TEST(PlayoutBuffer, BurstsRaiseTheDepthAtOnceAndThenPlayEvenly) {
    // Five chunks at a time, every 100 ms, the first ones up to 100 ms late.
    PlayoutBuffer buffer(12);
    const Played run = simulate(
        buffer, [](uint32_t k) { return 100 * int64_t(k / 5 + 1); }, 30000, 1500);
    EXPECT_LT(run.lastConcealedMs, 1000) << "underruns after the depth had settled";
    EXPECT_GE(buffer.target(), 5);
    EXPECT_LE(buffer.target(), 7);
    EXPECT_LE(run.deepest, size_t(buffer.target() + 2));
    EXPECT_GE(run.sent, 1490u);
}

TEST(PlayoutBuffer, TheChosenDepthBoundsItAndTheOldestGoFirst) {
    PlayoutBuffer buffer(3);
    const Played run = simulate(
        buffer, [](uint32_t k) { return 200 * int64_t(k / 10 + 1); }, 10000, 500);
    EXPECT_EQ(buffer.target(), 3);
    EXPECT_LE(run.deepest, 5u);
    EXPECT_GT(buffer.dropped(), 0u);

    // Ten at once: the oldest make room, the newest stays.
    PlayoutBuffer flood(2);
    for (uint8_t k = 0; k < 10; ++k)
        flood.push({k}, Clock::time_point{});
    EXPECT_LE(flood.depth(), 4u);
    EXPECT_GT(flood.tick(), std::vector<uint8_t>{0});
    std::optional<std::vector<uint8_t>> last;
    while (flood.depth() > 0)
        last = flood.tick();
    EXPECT_EQ(last, std::vector<uint8_t>{9});
}

TEST(PlayoutBuffer, TheDepthShrinksSlowlyOnceTheLinkCalms) {
    PlayoutBuffer buffer(12);
    // 10 s of bursts every 160 ms, then 60 s of an even stream.
    const auto arrival = [](uint32_t k) {
        return k < 500 ? 160 * int64_t(k / 8 + 1) : 10200 + 20 * int64_t(k - 500);
    };
    simulate(buffer, arrival, 10100, 500);
    const int high = buffer.target();
    EXPECT_GE(high, 8);
    PlayoutBuffer& calm = buffer;
    for (int64_t second = 0; second < 2; ++second) {
        for (int i = 0; i < 50; ++i) {
            calm.push({1}, Clock::time_point{} + milliseconds(10200 + second * 1000 + i * 20));
            calm.tick();
        }
    }
    EXPECT_GE(calm.target(), high - 3) << "shrank too fast";
    for (int i = 100; i < 3000; ++i) {
        calm.push({1}, Clock::time_point{} + milliseconds(10200 + i * 20));
        calm.tick();
    }
    EXPECT_EQ(calm.target(), PlayoutBuffer::kMinDepth);
}

TEST(PlayoutBuffer, AStoppedStreamConcealsBrieflyThenWaitsForTheNext) {
    PlayoutBuffer buffer(4);
    for (int i = 0; i < 2; ++i)
        buffer.push({1}, Clock::time_point{} + milliseconds(20 * i));
    EXPECT_TRUE(buffer.tick());
    EXPECT_TRUE(buffer.tick());
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(buffer.tick(), std::vector<uint8_t>{});
    EXPECT_FALSE(buffer.tick());
    EXPECT_FALSE(buffer.playing());
    buffer.push({2}, Clock::time_point{} + milliseconds(5000));
    EXPECT_FALSE(buffer.tick()) << "played before the target depth was held again";
}

}  // namespace
