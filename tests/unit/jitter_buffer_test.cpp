#include "jitter_buffer.h"

#include <gtest/gtest.h>

#include "sequence.h"

namespace {

// One play-out step: the number whose payload came out, or nullopt for a loss.
using Step = std::optional<uint32_t>;
const Step lost = std::nullopt;

std::vector<uint8_t> payloadFor(uint32_t seq) {
    return {static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq >> 16),
            static_cast<uint8_t>(seq >> 24)};
}

std::vector<Step> drain(JitterBuffer& jb) {
    std::vector<Step> steps;
    std::vector<uint8_t> out;
    bool isLost = false;
    while (jb.pop(out, isLost)) {
        if (isLost || out.size() != 4) {
            steps.push_back(lost);
        } else {
            steps.push_back(static_cast<uint32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24));
        }
    }
    return steps;
}

std::vector<Step> withLosses(Step first, size_t losses, Step last) {
    std::vector<Step> steps{first};
    steps.insert(steps.end(), losses, lost);
    steps.push_back(last);
    return steps;
}

TEST(Sequence, EarlierWrapsModulo2To32) {
    EXPECT_TRUE(seqIsEarlier(0xFFFFFFFFu, 0));
    EXPECT_FALSE(seqIsEarlier(0, 0xFFFFFFFFu));
    EXPECT_FALSE(seqIsEarlier(5, 5));
    EXPECT_TRUE(seqIsEarlier(0x80000000u, 0));  // exactly 2^31 apart counts as earlier
    EXPECT_TRUE(seqIsEarlier(0, 0x80000000u));
    EXPECT_FALSE(seqIsEarlier(0x7FFFFFFFu, 0));
    EXPECT_EQ(seqDistance(0xFFFFFFFFu, 1), 2u);
}

// Packets pushed one by one with a drain after each, as the engine does.
TEST(JitterBuffer, PlayOut) {
    struct Row {
        const char* name;
        int target;
        std::vector<uint32_t> pushed;
        std::vector<Step> played;
    };
    const uint32_t far = 0x7FFFFFF0u;
    const Row rows[] = {
        {"fills to its target, then plays all", 4, {100, 101, 102, 103}, {100, 101, 102, 103}},
        {"gap in the first fill, late packet dropped",
         4,
         {100, 102, 103, 104, 101},
         {100, lost, 102, 103, 104}},
        {"one loss per missing number", 1, {104, 108}, {104, lost, lost, lost, 108}},
        {"duplicates and late packets dropped", 1, {5, 5, 6, 4, 6}, {5, 6}},
        {"sender restarting lower waits to catch up", 1, {1000, 0, 5, 19, 1001}, {1000, 1001}},
        {"exactly 2^31 ahead counts as behind", 1, {10, 11u + 0x80000000u, 11}, {10, 11}},
        {"no holding back at a target of 0 or less", -3, {42}, {42}},
        {"a gap of 50 is concealed in full", 1, {0, 51}, withLosses(0, 50, 51)},
        {"a far jump conceals only 50", 1, {0, far}, withLosses(0, 50, far)},
        {"a far jump across the wrap",
         1,
         {0xFFFFFF00u, 0xFFFFFF00u + far},
         withLosses(0xFFFFFF00u, 50, 0xFFFFFF00u + far)},
        {"the bound holds in the first fill", 2, {0xFFFFFFF0u, 1000}, withLosses(0xFFFFFFF0u, 50, 1000)},
    };
    for (const Row& row : rows) {
        JitterBuffer jb;
        jb.configure(row.target);
        std::vector<Step> played;
        for (uint32_t seq : row.pushed) {
            jb.push(seq, payloadFor(seq));
            for (Step s : drain(jb))
                played.push_back(s);
        }
        EXPECT_EQ(played, row.played) << row.name;
        EXPECT_EQ(jb.size(), 0u) << row.name;
    }
}

// Before the first pop, play-out starts at the earliest number held.
TEST(JitterBuffer, StartsAtTheEarliestNumberAcrossTheWrap) {
    JitterBuffer jb;
    for (uint32_t s : {0u, 1u, 0xFFFFFFFEu, 0xFFFFFFFFu})
        jb.push(s, payloadFor(s));
    EXPECT_EQ(drain(jb), (std::vector<Step>{0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}));
}

TEST(JitterBuffer, ADuplicateKeepsTheFirstPayload) {
    JitterBuffer jb;
    jb.configure(2);
    jb.push(7, {1});
    jb.push(7, {2});
    jb.push(8, {3});
    std::vector<uint8_t> out;
    bool isLost = true;
    ASSERT_TRUE(jb.pop(out, isLost));
    EXPECT_EQ(out, std::vector<uint8_t>{1});
    EXPECT_FALSE(isLost);
}

// The target counts only until play-out begins.
TEST(JitterBuffer, TargetChangesMatterOnlyWhileFilling) {
    JitterBuffer jb;
    jb.push(1, payloadFor(1));
    jb.push(2, payloadFor(2));
    EXPECT_TRUE(drain(jb).empty());
    jb.configure(2);
    EXPECT_EQ(drain(jb), (std::vector<Step>{1, 2}));
    jb.configure(8);
    jb.push(3, payloadFor(3));
    EXPECT_EQ(drain(jb), (std::vector<Step>{3}));
}

}  // namespace
