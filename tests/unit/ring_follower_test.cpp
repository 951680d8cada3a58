// The tools' ring readers against real ring objects (in the test sandbox, so
// the ring name is private to the test): the recorder's follower in both modes,
// the microphone's consuming reader and the level meter's probe.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <memory>
#include <tuple>
#include <vector>

#include "level_probe.h"
#include "ring_follower.h"
#include "ring_reader.h"
#include "ring_writer.h"

namespace {

using Mode = RingFollower::Mode;
using testsupport::RingWriter;

constexpr auto numbered = RingWriter::numbered;

// Writes the writer's next count frames, numbered on from next.
void writeNumbered(RingWriter& writer, uint64_t& next, size_t count) {
    ASSERT_EQ(writer.write(numbered(next, count)), count);
    next += count;
}

// Every test starts without a ring, as a machine where no engine ran yet.
class Follower : public ::testing::TestWithParam<Mode> {
    void SetUp() override { shm_unlink(SVRING_NAME); }
};

TEST_P(Follower, StartsFromNowHandsOutEveryFrameOnceAndSkipsWhenLapped) {
    RingWriter writer;
    uint64_t next = 0;
    writeNumbered(writer, next, 1000);
    RingFollower follower(GetParam());
    std::vector<float> out;
    EXPECT_TRUE(follower.poll(out).attached);
    EXPECT_TRUE(out.empty());
    writeNumbered(writer, next, 960);
    EXPECT_EQ(follower.poll(out).frames, 960u);
    writeNumbered(writer, next, 3 * 960);
    EXPECT_EQ(follower.poll(out).frames, 3 * 960u);
    EXPECT_EQ(out, numbered(1000, 4 * 960));
    // Only the consuming follower moves the read index.
    EXPECT_EQ(SVRing_ReadIndex(&writer.handle()), GetParam() == Mode::Consume ? next : 0u);

    // Lapped, it skips to the oldest frame still there and counts the rest.
    out.clear();
    writeNumbered(writer, next, 30000);
    writeNumbered(writer, next, 23000);
    follower.poll(out);
    EXPECT_EQ(out, numbered(next - SVRING_FRAMES, SVRING_FRAMES));
    EXPECT_EQ(follower.framesLost(), 53000u - SVRING_FRAMES);
}

TEST_P(Follower, LaterAndReplacedRingsAreTakenFromTheirFirstFrame) {
    RingFollower follower(GetParam());
    std::vector<float> out;
    EXPECT_FALSE(follower.poll(out).attached);
    auto first = std::make_unique<RingWriter>();
    uint64_t next = 0;
    writeNumbered(*first, next, 500);
    EXPECT_EQ(follower.poll(out).frames, 500u);
    writeNumbered(*first, next, 100);  // written just before the engine stops, not polled yet
    first.reset();

    RingWriter second;
    next = 0;
    writeNumbered(second, next, 300);
    follower.poll(out);
    EXPECT_EQ(follower.restartsFollowed(), 1u);
    // The old ring's last frames first, then the new ring from its start.
    std::vector<float> expected = numbered(0, 600), fresh = numbered(0, 300);
    expected.insert(expected.end(), fresh.begin(), fresh.end());
    EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(BothModes, Follower, ::testing::Values(Mode::LookOnly, Mode::Consume),
                         [](const auto& p) { return p.param == Mode::LookOnly ? "LookOnly" : "Consume"; });

// The microphone keeps playing the old ring until a new one exists, then
// switches to it.
TEST(MicRingReader, FollowsARestartedEngineOnlyOnceTheNewRingExists) {
    shm_unlink(SVRING_NAME);
    RingReader reader;
    EXPECT_EQ(reader.refresh(), RingReader::Change::none);
    auto first = std::make_unique<RingWriter>();
    uint64_t next = 0;
    writeNumbered(*first, next, 700);
    EXPECT_EQ(reader.refresh(), RingReader::Change::attached);
    EXPECT_EQ(reader.refresh(), RingReader::Change::none);
    EXPECT_EQ(reader.held(), 700u);

    // The old engine's ring is removed; its frames are still played.
    first.reset();
    shm_unlink(SVRING_NAME);
    EXPECT_EQ(reader.refresh(), RingReader::Change::none);
    std::vector<float> out(2 * 800);
    EXPECT_EQ(reader.read(out.data(), 800), 700u);
    out.resize(2 * 700);
    EXPECT_EQ(out, numbered(0, 700));

    RingWriter second;
    next = 0;
    writeNumbered(second, next, 200);
    EXPECT_EQ(reader.refresh(), RingReader::Change::reattached);
    EXPECT_EQ(reader.held(), 200u);
}

// The level meter tells the truth: each channel's RMS in dBFS while the ring
// moves; silence once it has stood still for 100 ms, or is gone.
TEST(LevelProbe, ReadsEachChannelAndFallsSilentWhenTheRingStopsOrGoes) {
    using namespace std::chrono_literals;
    shm_unlink(SVRING_NAME);
    LevelProbe probe;
    const auto t0 = LevelProbe::Clock::now();
    EXPECT_FALSE(probe.read(t0).present);
    RingWriter writer;
    std::vector<float> frames(2 * 960, 0.5f);
    for (size_t i = 1; i < frames.size(); i += 2)
        frames[i] = i % 4 == 1 ? 0.25f : -0.25f;
    writer.write(frames);
    EXPECT_FALSE(probe.read(t0).writing);  // found already written: it moves only once it moves
    writer.write(frames);
    for (const auto& [after, left, right] :
         {std::tuple{20ms, -6.02, -12.04}, {119ms, -6.02, -12.04}, {120ms, -100.0, -100.0}}) {
        const LevelProbe::Reading r = probe.read(t0 + after);
        EXPECT_NEAR(r.leftDb, left, 0.01) << after.count() << " ms";
        EXPECT_NEAR(r.rightDb, right, 0.01) << after.count() << " ms";
    }
    shm_unlink(SVRING_NAME);
    EXPECT_FALSE(probe.read(t0 + 160ms).present);
}

}  // namespace
