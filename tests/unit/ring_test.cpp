// The shared ring through its C calls and its C++ owner: the consuming reader,
// look-only views, replacement by a new writer, and two processes at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <tuple>
#include <vector>

#include "ring_writer.h"
#include "sv_ring.hpp"
#include "sv_stats.hpp"

namespace {

using svring::Ring;
using testsupport::RingWriter;

constexpr auto numbered = RingWriter::numbered;

// Frames first..first+count, then silence up to frames in all.
std::vector<float> padded(uint64_t first, size_t count, size_t frames) {
    std::vector<float> out = numbered(first, count);
    out.resize(2 * frames, 0.0f);
    return out;
}

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
    EXPECT_EQ(read(512), padded(0, 0, 512));
    EXPECT_EQ(lastRead, 0u);
    write(0, 960);
    EXPECT_EQ(read(512), numbered(0, 512));
    EXPECT_EQ(read(512), padded(512, 448, 512));
    EXPECT_EQ(std::tuple(lastRead, consumer.readIndex()), std::tuple(448u, 960u));
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

// Looking copies only frames still there, the newest padded with silence
// before the first frame, and never moves the read index.
TEST_F(RingTest, LookingCopiesOnlyFramesStillThere) {
    write(0, 3);
    std::vector<float> newest(10, 7.0f);
    EXPECT_EQ(view.copyNewest(newest.data(), 5), 3u);
    std::vector<float> expected = numbered(0, 3);
    expected.insert(expected.begin(), 4, 0.0f);
    EXPECT_EQ(newest, expected);
    write(3, 59997);
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
    EXPECT_EQ(view.copyNewest(newest.data(), 5), 60000u);
    EXPECT_EQ(newest, numbered(59995, 5));
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
    EXPECT_TRUE(view.replaced() && consumer.replaced());
    EXPECT_EQ(view.writeIndex(), 100u);
    EXPECT_EQ(read(200), padded(0, 100, 200));
    Ring fresh;
    ASSERT_TRUE(fresh.open(Ring::Access::look));
    EXPECT_EQ(std::pair(fresh.replaced(), fresh.writeIndex()), std::pair(false, uint64_t{50}));
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
    const auto attaches = [&] {
        return std::pair(r.open(Ring::Access::consume), r.open(Ring::Access::look));
    };
    EXPECT_EQ(attaches(), std::pair(false, false));
    const int fd = shm_open(SVRING_NAME, O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(attaches(), std::pair(false, false));
    close(fd);
    std::vector<float> out(20, 1.0f);
    SVRingHandle closed{-1, nullptr};
    EXPECT_EQ(SVRing_Write(&closed, out.data(), 10), 0u);
    EXPECT_EQ(r.read(out.data(), 5), 0u);
    EXPECT_EQ(r.copyNewest(out.data() + 10, 5), 0u);
    EXPECT_EQ(out, std::vector<float>(20, 0.0f));
    EXPECT_EQ(std::pair(r.writeIndex(), r.replaced()), std::pair(uint64_t{0}, false));
    { RingWriter w; }
    EXPECT_EQ(attaches(), std::pair(true, true));
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

// The statistics block: a reader never sees a mix of two publications.
TEST(Stats, ReadersSeeWholePublicationsOnly) {
    svring::StatsBlock writer, reader;
    shm_unlink(SVSTATS_NAME);
    EXPECT_FALSE(reader.open(svring::StatsBlock::Access::look));
    ASSERT_TRUE(writer.open(svring::StatsBlock::Access::write));
    ASSERT_TRUE(reader.open(svring::StatsBlock::Access::look));
    constexpr uint64_t kPublications = 200000;
    std::thread publisher([&writer] {
        for (uint64_t n = 1; n <= kPublications; ++n)
            writer.publish({n, n, n, n, n, n, n, n, n});
    });
    uint64_t seen = 0, mixed = 0;
    while (seen < kPublications) {
        const std::optional<SVStats> s = reader.read();
        if (!s) continue;
        mixed += s->updatedUs != s->delayUs || s->received != s->updatedUs || s->updatedUs < seen;
        seen = s->updatedUs;
    }
    publisher.join();
    EXPECT_EQ(mixed, 0u);
}

}  // namespace
