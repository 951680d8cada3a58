#include "jitter_buffer.h"

#include <gtest/gtest.h>

#include "sequence.h"

namespace {

std::vector<uint8_t> payloadFor(uint32_t seq) {
    return {static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq >> 16),
            static_cast<uint8_t>(seq >> 24)};
}

// One play-out step as seen from outside: the sequence number a payload carried,
// or nullopt for a loss report.
using Step = std::optional<uint32_t>;

std::vector<Step> drain(JitterBuffer& jb) {
    std::vector<Step> steps;
    std::vector<uint8_t> out;
    bool lost = false;
    while (jb.pop(out, lost)) {
        if (lost) {
            EXPECT_TRUE(out.empty());
            steps.push_back(std::nullopt);
        } else {
            EXPECT_EQ(out.size(), 4u);
            steps.push_back(static_cast<uint32_t>(out[0]) | static_cast<uint32_t>(out[1]) << 8 |
                            static_cast<uint32_t>(out[2]) << 16 | static_cast<uint32_t>(out[3]) << 24);
        }
    }
    return steps;
}

void push(JitterBuffer& jb, uint32_t seq) {
    jb.push(seq, payloadFor(seq));
}

TEST(Sequence, EarlierWrapsModulo2To32) {
    EXPECT_TRUE(seqIsEarlier(0xFFFFFFFFu, 0));
    EXPECT_FALSE(seqIsEarlier(0, 0xFFFFFFFFu));
    EXPECT_FALSE(seqIsEarlier(5, 5));
    EXPECT_TRUE(seqIsEarlier(4, 5));
    EXPECT_TRUE(seqIsEarlier(0x80000000u, 0));  // exactly 2^31 apart counts as earlier
    EXPECT_TRUE(seqIsEarlier(0, 0x80000000u));
    EXPECT_FALSE(seqIsEarlier(0x7FFFFFFFu, 0));
    EXPECT_EQ(seqDistance(0xFFFFFFFFu, 1), 2u);
}

TEST(JitterBuffer, EmptyPopReturnsFalseAndKeepsNextSeq) {
    JitterBuffer jb;
    EXPECT_TRUE(drain(jb).empty());
    push(jb, 10);
    jb.configure(1);
    EXPECT_EQ(drain(jb), (std::vector<Step>{10}));
    EXPECT_TRUE(drain(jb).empty());
    EXPECT_EQ(jb.nextSeq(), 11u);
}

TEST(JitterBuffer, FillsToTargetThenReleasesEverything) {
    JitterBuffer jb;
    for (uint32_t s : {100u, 101u, 102u}) {
        push(jb, s);
        EXPECT_TRUE(drain(jb).empty());
    }
    EXPECT_TRUE(jb.started());
    EXPECT_FALSE(jb.playing());
    push(jb, 103);
    EXPECT_EQ(drain(jb), (std::vector<Step>{100, 101, 102, 103}));
    EXPECT_TRUE(jb.playing());
}

TEST(JitterBuffer, GapInFirstFillIsReportedAndLatePacketDropped) {
    JitterBuffer jb;
    for (uint32_t s : {100u, 102u, 103u, 104u})
        push(jb, s);
    EXPECT_EQ(drain(jb), (std::vector<Step>{100, std::nullopt, 102, 103, 104}));
    push(jb, 101);
    EXPECT_TRUE(drain(jb).empty());
    EXPECT_EQ(jb.size(), 0u);
}

TEST(JitterBuffer, GapWhilePlayingGivesOneLossReportPerNumber) {
    JitterBuffer jb;
    jb.configure(1);
    push(jb, 104);
    drain(jb);
    ASSERT_EQ(jb.nextSeq(), 105u);
    push(jb, 108);
    EXPECT_EQ(drain(jb), (std::vector<Step>{std::nullopt, std::nullopt, std::nullopt, 108}));
}

TEST(JitterBuffer, DuplicateKeepsTheFirstPayload) {
    JitterBuffer jb;
    jb.configure(2);
    jb.push(7, {1});
    jb.push(7, {2});
    push(jb, 8);
    std::vector<uint8_t> out;
    bool lost = true;
    ASSERT_TRUE(jb.pop(out, lost));
    EXPECT_EQ(out, std::vector<uint8_t>{1});
    EXPECT_FALSE(lost);
}

TEST(JitterBuffer, DuplicateOfPlayedPacketIsDroppedAsLate) {
    JitterBuffer jb;
    jb.configure(1);
    push(jb, 5);
    drain(jb);
    push(jb, 5);
    EXPECT_TRUE(drain(jb).empty());
}

TEST(JitterBuffer, StartsAtEarliestNumberAcrossTheWrap) {
    JitterBuffer jb;
    for (uint32_t s : {0u, 1u, 0xFFFFFFFEu, 0xFFFFFFFFu})
        push(jb, s);
    EXPECT_EQ(drain(jb), (std::vector<Step>{0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}));
    EXPECT_EQ(jb.nextSeq(), 2u);
}

TEST(JitterBuffer, NumberExactly2To31AheadCountsAsEarlierAndIsDropped) {
    JitterBuffer jb;
    jb.configure(1);
    push(jb, 10);
    drain(jb);
    push(jb, 11u + 0x80000000u);
    EXPECT_EQ(jb.size(), 0u);
}

TEST(JitterBuffer, SenderRestartingLowerIsIgnoredUntilItCatchesUp) {
    JitterBuffer jb;
    jb.configure(1);
    push(jb, 1000);
    drain(jb);
    for (uint32_t s = 0; s < 20; ++s)
        push(jb, s);
    EXPECT_EQ(jb.size(), 0u);
    push(jb, 1001);
    EXPECT_EQ(drain(jb), (std::vector<Step>{1001}));
}

TEST(JitterBuffer, LowerTargetWhileFillingStartsPlayOut) {
    JitterBuffer jb;
    push(jb, 1);
    push(jb, 2);
    EXPECT_TRUE(drain(jb).empty());
    jb.configure(2);
    EXPECT_EQ(drain(jb), (std::vector<Step>{1, 2}));
}

TEST(JitterBuffer, TargetChangeWhilePlayingChangesNothing) {
    JitterBuffer jb;
    jb.configure(1);
    push(jb, 1);
    drain(jb);
    jb.configure(8);
    push(jb, 2);
    EXPECT_EQ(drain(jb), (std::vector<Step>{2}));
}

TEST(JitterBuffer, TargetOfZeroOrLessNeverHoldsBack) {
    JitterBuffer jb;
    jb.configure(-3);
    push(jb, 42);
    EXPECT_EQ(drain(jb), (std::vector<Step>{42}));
}

// A packet far ahead must not make the engine conceal billions of packets: only
// the last 50 numbers of such a gap are reported. Up to 50 are reported each.
TEST(JitterBuffer, GapOfUpTo50IsReportedInFull) {
    JitterBuffer jb;
    jb.configure(1);
    push(jb, 0);
    drain(jb);
    push(jb, 51);  // 1..50 missing: exactly 50
    const std::vector<Step> steps = drain(jb);
    ASSERT_EQ(steps.size(), 51u);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), std::nullopt), 50);
    EXPECT_EQ(steps.back(), Step{51});
}

TEST(JitterBuffer, HugeJumpReportsOnlyTheLast50) {
    for (uint32_t start : {0u, 0xFFFFFF00u}) {
        JitterBuffer jb;
        jb.configure(1);
        push(jb, start);
        drain(jb);
        const uint32_t far = start + 0x7FFFFFF0u;
        push(jb, far);
        const std::vector<Step> steps = drain(jb);
        ASSERT_EQ(steps.size(), 51u);
        EXPECT_EQ(std::count(steps.begin(), steps.end(), std::nullopt), 50);
        EXPECT_EQ(steps.back(), Step{far});
        EXPECT_EQ(jb.nextSeq(), far + 1);
    }
}

TEST(JitterBuffer, JumpBoundAppliesAcrossTheWrapAndToTheFirstFill) {
    JitterBuffer jb;
    jb.configure(2);
    push(jb, 0xFFFFFFF0u);
    push(jb, 1000);  // 1016 numbers apart, across 0
    const std::vector<Step> steps = drain(jb);
    ASSERT_EQ(steps.size(), 52u);
    EXPECT_EQ(steps.front(), Step{0xFFFFFFF0u});
    EXPECT_EQ(std::count(steps.begin(), steps.end(), std::nullopt), 50);
    EXPECT_EQ(steps.back(), Step{1000});
}

}  // namespace
