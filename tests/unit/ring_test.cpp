// The shared ring through its C calls and its C++ owner: the consuming reader,
// look-only views, replacement by a new writer, and two processes at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>
#include <vector>

#include "ring_writer.h"
#include "sv_ring.hpp"

namespace {

using svring::Ring;
using testsupport::RingWriter;

constexpr auto numbered = RingWriter::numbered;

class RingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writer.isOpen());
        ASSERT_TRUE(consumer.open(Ring::Access::consume));
        ASSERT_TRUE(view.open(Ring::Access::look));
    }
    void write(uint64_t first, size_t count) { EXPECT_EQ(writer.write(numbered(first, count)), count); }
    std::vector<float> read(size_t count) {
        std::vector<float> out(2 * count, 7.0f);
        lastRead = consumer.read(out.data(), count);
        return out;
    }

    RingWriter writer;
    Ring consumer;
    Ring view;
    size_t lastRead = 0;
};

TEST_F(RingTest, ReadsGiveWhatIsThereThenSilence) {
    EXPECT_EQ(read(512), std::vector<float>(1024, 0.0f));
    EXPECT_EQ(lastRead, 0u);
    write(0, 960);
    EXPECT_EQ(read(512), numbered(0, 512));
    std::vector<float> tail = numbered(512, 448);
    tail.resize(1024, 0.0f);
    EXPECT_EQ(read(512), tail);
    EXPECT_EQ(lastRead, 448u);
    EXPECT_EQ(consumer.readIndex(), 960u);
}

// A lapped reader skips to the oldest frame still present, even on a read of 0.
TEST_F(RingTest, LappedReaderSkipsToTheOldestFrameStillThere) {
    for (uint64_t i = 0; i < 100000; i += 1000)
        write(i, 1000);
    EXPECT_EQ(read(10), numbered(52000, 10));
    EXPECT_EQ(consumer.readIndex(), 52010u);
    write(100000, 48000);
    EXPECT_EQ(consumer.read(nullptr, 0), 0u);
    EXPECT_EQ(consumer.readIndex(), 100000u);
}

// Across the end of the slots, and a write longer than the ring keeps its end.
TEST_F(RingTest, WritesWrapAndAnOversizeWriteKeepsItsLastFrames) {
    write(0, 47999);
    write(47999, 2);
    std::vector<float> out(4);
    ASSERT_EQ(view.copyFrames(47999, out.data(), 2), 2u);
    EXPECT_EQ(out, numbered(47999, 2));
    write(48001, 50000);
    EXPECT_EQ(view.writeIndex(), 98001u);
    EXPECT_EQ(read(48000), numbered(50001, 48000));
}

// Looking copies only frames still there and never moves the read index.
TEST_F(RingTest, CopyFramesOnlyOfFramesStillThere) {
    write(0, 60000);
    const std::tuple<uint64_t, size_t, size_t> cases[] = {
        // from, count, frames copied
        {12000, 48000, 48000},  // exactly the frames still there
        {11999, 10, 0},         // overwritten
        {59990, 10, 10},        // the newest
        {59995, 10, 0},         // not written yet
        {60001, 0, 0},          // beyond the writer
        {60000, 0, 0},          // nothing, at the writer
        {0, 48001, 0},          // more than the ring holds
    };
    for (const auto& [from, count, copied] : cases) {
        std::vector<float> out(2 * count);
        EXPECT_EQ(view.copyFrames(from, out.data(), count), copied) << from << "+" << count;
        if (copied > 0) {
            EXPECT_EQ(out, numbered(from, count));
        }
    }
    EXPECT_EQ(consumer.readIndex(), 0u);
}

TEST_F(RingTest, CopyNewestPadsWithSilenceBeforeTheFirstFrame) {
    write(0, 3);
    std::vector<float> out(10, 7.0f);
    EXPECT_EQ(view.copyNewest(out.data(), 5), 3u);
    std::vector<float> expected = numbered(0, 3);
    expected.insert(expected.begin(), 4, 0.0f);
    EXPECT_EQ(out, expected);
    write(3, 50000);
    EXPECT_EQ(view.copyNewest(out.data(), 5), 50003u);
    EXPECT_EQ(out, numbered(49998, 5));
    EXPECT_EQ(consumer.readIndex(), 0u);
}

// Every writer start makes a new object: attachments to the old one see it
// replaced and frozen, fresh ones see the new ring.
TEST_F(RingTest, ANewWriterReplacesTheRing) {
    write(0, 100);
    EXPECT_FALSE(view.replaced());
    RingWriter second;
    ASSERT_TRUE(second.isOpen());
    second.write(numbered(1000, 50));
    EXPECT_TRUE(view.replaced());
    EXPECT_TRUE(consumer.replaced());
    EXPECT_EQ(view.writeIndex(), 100u);
    EXPECT_EQ(read(200).front(), 0.0f);
    EXPECT_EQ(lastRead, 100u);
    Ring fresh;
    ASSERT_TRUE(fresh.open(Ring::Access::look));
    EXPECT_FALSE(fresh.replaced());
    EXPECT_EQ(fresh.writeIndex(), 50u);
}

// What the microphone hears is for the user's own programs only.
TEST_F(RingTest, RingIsPrivateToItsUser) {
    struct stat st {};
    ASSERT_EQ(fstat(writer.handle().fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// No attachment without a writer, nor to an object the writer has not sized
// yet (touching that mapping would fault); a handle left closed writes nothing
// and reads silence; closing never removes the ring.
TEST(Ring, AttachingNeedsASizedRing) {
    shm_unlink(SVRING_NAME);
    Ring r;
    EXPECT_FALSE(r.open(Ring::Access::consume));
    EXPECT_FALSE(r.open(Ring::Access::look));
    const int fd = shm_open(SVRING_NAME, O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(r.open(Ring::Access::consume));
    EXPECT_FALSE(r.open(Ring::Access::look));
    close(fd);
    std::vector<float> out(20, 1.0f);
    SVRingHandle closed{-1, nullptr};
    EXPECT_EQ(SVRing_Write(&closed, out.data(), 10), 0u);
    EXPECT_EQ(r.read(out.data(), 5), 0u);
    EXPECT_EQ(r.copyNewest(out.data() + 10, 5), 0u);
    EXPECT_EQ(out, std::vector<float>(20, 0.0f));
    EXPECT_EQ(r.writeIndex(), 0u);
    EXPECT_FALSE(r.replaced());
    { RingWriter w; }
    EXPECT_TRUE(r.open(Ring::Access::consume));
    EXPECT_TRUE(r.open(Ring::Access::look));
}

// A writer process and a consuming reader process: every frame arrives once, in order.
TEST(Ring, TwoProcessesStreamInOrder) {
    RingWriter w;
    ASSERT_TRUE(w.isOpen());
    constexpr uint64_t kTotal = 480000;
    const pid_t child = fork();
    if (child == 0) {
        Ring r;
        if (!r.open(Ring::Access::consume)) _exit(2);
        std::vector<float> out(512 * 2);
        for (uint64_t next = 0; next < kTotal;) {
            const size_t n = r.read(out.data(), 512);
            for (size_t i = 0; i < n; ++i, ++next) {
                if (out[2 * i] != static_cast<float>(next)) _exit(3);
            }
            if (n == 0) usleep(100);
        }
        _exit(0);
    }
    Ring look;
    ASSERT_TRUE(look.open(Ring::Access::look));
    for (uint64_t i = 0; i < kTotal; i += 960) {
        // Stay within the ring so the reader is never lapped.
        while (look.writeIndex() - look.readIndex() > 40000)
            usleep(100);
        w.write(numbered(i, 960));
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);  // exited with 0
}

}  // namespace
