#include "jitter_buffer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sequence.h"

namespace {

// One play-out step: the number whose payload came out, or nullopt for a loss.
using Step = std::optional<uint32_t>;
const Step lost = std::nullopt;

std::vector<uint8_t> payloadFor(uint32_t seq) {
    std::vector<uint8_t> p(4);
    std::memcpy(p.data(), &seq, 4);
    return p;
}

std::vector<Step> drain(JitterBuffer& jb) {
    std::vector<Step> steps;
    std::vector<uint8_t> out;
    for (bool isLost = false; jb.pop(out, isLost);) {
        uint32_t seq = 0;
        if (!isLost && out.size() == 4) std::memcpy(&seq, out.data(), 4);
        steps.push_back(isLost || out.size() != 4 ? lost : Step(seq));
    }
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
    std::vector<Step> fiftyLost(52, lost);
    fiftyLost.front() = 0, fiftyLost.back() = 51;
    const Row rows[] = {
        {"fills to its target, then plays all", 4, {100, 101, 102, 103}, {100, 101, 102, 103}},
        {"first fill with a gap, late one dropped", 4, {100, 102, 103, 104, 101}, {100, lost, 102, 103, 104}},
        {"one loss per missing number", 1, {104, 108}, {104, lost, lost, lost, 108}},
        {"duplicates and late packets dropped", 1, {5, 5, 6, 4, 6}, {5, 6}},
        {"sender restarting lower waits to catch up", 1, {1000, 0, 5, 19, 1001}, {1000, 1001}},
        {"exactly 2^31 ahead counts as behind", 1, {10, 11u + 0x80000000u, 11}, {10, 11}},
        {"no holding back at a target of 0 or less", -3, {42}, {42}},
        {"a gap of 50 is concealed in full", 1, {0, 51}, fiftyLost},
        {"a wider gap is a new stream, not concealed", 1, {0, 52, 53}, {0, 52, 53}},
        {"a far jump across the wrap", 1, {0xFFFFFF00u, 0xFFFFFF00u + far}, {0xFFFFFF00u, 0xFFFFFF00u + far}},
        {"a jump in the first fill", 2, {0xFFFFFFF0u, 1000}, {0xFFFFFFF0u, 1000}},
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

// The decoder must start afresh exactly where the new stream begins.
TEST(JitterBuffer, ANewStreamIsFlaggedOnItsFirstStepOnly) {
    JitterBuffer jb;
    jb.configure(1);
    std::vector<uint8_t> out;
    bool isLost = false;
    std::vector<bool> flags;
    for (uint32_t seq : {7u, 8u, 9000u, 9001u, 9003u}) {
        jb.push(seq, payloadFor(seq));
        while (jb.pop(out, isLost))
            flags.push_back(jb.newStream());
    }
    EXPECT_EQ(flags, (std::vector<bool>{false, false, true, false, false, false}));
}

// Before the first pop, play-out starts at the earliest number held; a
// duplicate of a held number leaves the first payload in place.
TEST(JitterBuffer, StartsAtTheEarliestNumberAcrossTheWrapAndKeepsTheFirstOfADuplicate) {
    JitterBuffer jb;
    for (uint32_t s : {0u, 1u, 0xFFFFFFFEu, 0xFFFFFFFFu})
        jb.push(s, payloadFor(s));
    jb.push(1, payloadFor(99));
    EXPECT_EQ(drain(jb), (std::vector<Step>{0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}));
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
