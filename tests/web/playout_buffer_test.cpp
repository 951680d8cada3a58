// The playout buffer against arrival patterns, on a simulated clock.
#include <gtest/gtest.h>

#include <functional>

#include "playout_buffer.h"

namespace {

using Clock = PlayoutBuffer::Clock;
using std::chrono::milliseconds;

// Chunk k (its number in its byte) arrives at arrival(k) ms; the buffer ticks
// every 20 ms. Returns the time of the last concealment (-1 for none).
int64_t simulate(PlayoutBuffer& buffer, const std::function<int64_t(int)>& arrival, int chunks, int64_t endMs,
                 size_t& deepest) {
    int64_t lastConcealed = -1;
    for (int64_t t = 0, k = 0; t <= endMs; ++t) {
        for (; k < chunks && arrival(int(k)) <= t; ++k)
            buffer.push({{uint8_t(k)}}, Clock::time_point{} + milliseconds(t));
        deepest = std::max(deepest, buffer.depth());
        if (t % 20 == 0) {
            const auto chunk = buffer.tick();
            if (chunk && chunk->bytes.empty()) lastConcealed = t;
        }
    }
    return lastConcealed;
}

TEST(PlayoutBuffer, FollowsTheLinksLatenessWithinTheChosenDepth) {
    struct Case {
        const char* name;
        int maxDepth;
        std::function<int64_t(int)> arrival;
        int chunks;
        int targetLow, targetHigh;
        int64_t lastConcealedBefore;  // ms; underruns only while the depth grows
        uint64_t dropsLow, dropsHigh;
        size_t deepest = 0;  // at most, after each arrival; 0: two above the chosen depth
    };
    const auto burstsThenCalm = [](int k) -> int64_t {
        return k < 500 ? 160 * (k / 8 + 1) : 10200 + 20 * (k - 500);
    };
    // Stalls every 3 s from 1 s on, of 60 ms and, every third, 100 ms: the
    // first, while the stream is young, fills the buffer for all the later ones.
    const auto stalling = [](int k) -> int64_t {
        const int64_t t = 20 * k + 5, n = t / 3000, from = 3000 * n + 1000, length = n % 3 == 1 ? 100 : 60;
        return t >= from && t < from + length ? from + length : t;
    };
    const Case cases[] = {
        {"even", 6, [](int k) { return 5 + 20 * k; }, 1500, 2, 2, 0, 0, 0},
        {"one chunk 35 ms late", 6, [](int k) { return 5 + 20 * k + (k == 100 ? 35 : 0); }, 1500, 2, 4, 0, 0,
         0},
        {"five at a time every 100 ms", 12, [](int k) { return 100 * (k / 5 + 1); }, 1500, 12, 12, 1000, 0,
         10},
        {"bounded by a low choice", 3, [](int k) { return 200 * (k / 10 + 1); }, 1500, 3, 3, 31000, 100,
         1500},
        // 10 s of bursts every 160 ms, then an even stream: two seconds of it do
        // not make the buffer forget the bursts, a minute does.
        {"calm for two seconds", 12, burstsThenCalm, 600, 5, 12, 13000, 0, 10},
        {"calm again", 12, burstsThenCalm, 3500, 2, 2, 11000, 0, 12},
        {"a link that keeps stalling keeps its depth", 8, stalling, 1500, 8, 8, 1300, 0, 0},
        // The phone's clock 0.1 % fast: a chunk in excess every 20 s goes, one at a time.
        {"a fast phone", 8, [](int k) { return 5 + k * 1998 / 100; }, 3600, 2, 2, 0, 2, 4, 3},
    };
    for (const Case& c : cases) {
        PlayoutBuffer buffer(c.maxDepth);
        size_t deepest = 0;
        const int64_t concealed =
            simulate(buffer, c.arrival, c.chunks, 30000 + (c.chunks > 1500 ? 40000 : 0), deepest);
        EXPECT_GE(buffer.target(), c.targetLow) << c.name;
        EXPECT_LE(buffer.target(), c.targetHigh) << c.name;
        EXPECT_LT(concealed, c.lastConcealedBefore) << c.name;
        EXPECT_LE(deepest, c.deepest ? c.deepest : size_t(c.maxDepth + 2)) << c.name;
        EXPECT_GE(buffer.dropped(), c.dropsLow) << c.name;
        EXPECT_LE(buffer.dropped(), c.dropsHigh) << c.name;
    }
}

TEST(PlayoutBuffer, DropsTheOldestAndPausesAfterHalfASecondWithoutChunks) {
    PlayoutBuffer buffer(2);
    for (uint8_t k = 0; k < 10; ++k)
        buffer.push({{k}}, Clock::time_point{});
    EXPECT_LE(buffer.depth(), 4u);
    EXPECT_GT(buffer.tick()->bytes, std::vector<uint8_t>{0});
    std::optional<PlayoutBuffer::Chunk> chunk;
    while (buffer.depth() > 0)
        chunk = buffer.tick();
    EXPECT_EQ(chunk->bytes, std::vector<uint8_t>{9});
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(buffer.tick()->bytes, std::vector<uint8_t>{});
    EXPECT_FALSE(buffer.tick());
    buffer.push({{10}}, Clock::time_point{} + milliseconds(5000));
    EXPECT_FALSE(buffer.tick()) << "played before the target depth was held again";
}

}  // namespace
