// The recorder's ring follower against real ring objects (in the test sandbox,
// so the ring name is private to the test).
#include "ring_follower.h"

#include <gtest/gtest.h>

#include <vector>

#include "sv_ring.h"

// Readable parameter names in test listings.
inline void PrintTo(RingFollower::Mode m, std::ostream* os) {
    *os << (m == RingFollower::Mode::LookOnly ? "look-only" : "consuming");
}

namespace {

using Mode = RingFollower::Mode;

class Writer {
public:
    Writer() { EXPECT_TRUE(SVRing_OpenWriter(&handle_)); }
    ~Writer() { SVRing_Close(&handle_); }
    // Writes count frames numbered from the running counter: left k, right -k.
    void write(size_t count) {
        std::vector<float> frames(2 * count);
        for (size_t i = 0; i < count; ++i) {
            frames[2 * i] = static_cast<float>(next_ + i);
            frames[2 * i + 1] = -static_cast<float>(next_ + i);
        }
        SVRing_Write(&handle_, frames.data(), count);
        next_ += count;
    }
    uint64_t readIndex() const {
        return __atomic_load_n(static_cast<uint64_t*>(handle_.base) + 1, __ATOMIC_ACQUIRE);
    }

private:
    SVRingHandle handle_{-1, nullptr};
    uint64_t next_ = 0;
};

// True when frames hold the numbered frames first, first+1, ... in order.
::testing::AssertionResult numbered(const std::vector<float>& frames, uint64_t first) {
    for (size_t i = 0; i < frames.size() / 2; ++i) {
        const auto want = static_cast<float>(first + i);
        if (frames[2 * i] != want || frames[2 * i + 1] != -want) {
            return ::testing::AssertionFailure()
                   << "frame " << i << " holds " << frames[2 * i] << ", want " << want;
        }
    }
    return ::testing::AssertionSuccess();
}

class RingFollowerTest : public ::testing::TestWithParam<Mode> {};

TEST_P(RingFollowerTest, StartsFromNowThenHandsOutEveryFrameOnce) {
    Writer writer;
    writer.write(1000);
    RingFollower follower(GetParam());
    std::vector<float> out;
    EXPECT_TRUE(follower.poll(out).attached);
    EXPECT_TRUE(out.empty());

    writer.write(960);
    EXPECT_EQ(follower.poll(out).frames, 960u);
    writer.write(3 * 960);
    EXPECT_EQ(follower.poll(out).frames, 3 * 960u);
    EXPECT_EQ(follower.poll(out).frames, 0u);
    EXPECT_EQ(out.size(), 2u * 4 * 960);
    EXPECT_TRUE(numbered(out, 1000));
    EXPECT_EQ(writer.readIndex(), GetParam() == Mode::Consume ? 1000u + 4 * 960 : 0u);
}

TEST_P(RingFollowerTest, RingThatAppearsLaterIsTakenFromItsFirstFrame) {
    RingFollower follower(GetParam());
    std::vector<float> out;
    EXPECT_FALSE(follower.poll(out).attached);
    Writer writer;
    writer.write(700);
    EXPECT_EQ(follower.poll(out).frames, 700u);
    EXPECT_TRUE(numbered(out, 0));
    EXPECT_EQ(follower.restartsFollowed(), 0u);
}

TEST_P(RingFollowerTest, FollowsAReplacedRingFromItsFirstFrame) {
    auto first = std::make_unique<Writer>();
    RingFollower follower(GetParam());
    std::vector<float> out;
    follower.poll(out);
    first->write(500);
    follower.poll(out);
    ASSERT_TRUE(numbered(out, 0));
    first->write(100);  // written just before the engine stops, not polled yet
    first.reset();

    Writer second;
    second.write(300);
    follower.poll(out);
    EXPECT_EQ(follower.restartsFollowed(), 1u);
    // The old ring's last frames first, then the new ring from its start.
    ASSERT_EQ(out.size(), 2u * (600 + 300));
    EXPECT_TRUE(numbered(std::vector<float>(out.begin(), out.begin() + 1200), 0));
    EXPECT_TRUE(numbered(std::vector<float>(out.begin() + 1200, out.end()), 0));
}

TEST_P(RingFollowerTest, LappedReaderSkipsToTheOldestFrameAndCountsTheRest) {
    Writer writer;
    RingFollower follower(GetParam());
    std::vector<float> out;
    follower.poll(out);
    writer.write(30000);
    writer.write(23000);
    follower.poll(out);
    EXPECT_EQ(out.size(), 2u * SVRING_FRAMES);
    EXPECT_TRUE(numbered(out, 5000));
    EXPECT_EQ(follower.framesLost(), 5000u);
}

INSTANTIATE_TEST_SUITE_P(BothReaders, RingFollowerTest, ::testing::Values(Mode::LookOnly, Mode::Consume),
                         [](const auto& p) { return p.param == Mode::LookOnly ? "LookOnly" : "Consume"; });

}  // namespace
