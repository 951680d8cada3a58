#include "sv_ring.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

uint64_t counter(const SVRingHandle& h, size_t offset) {
    auto* p = reinterpret_cast<const uint64_t*>(static_cast<const char*>(h.base) + offset);
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
uint64_t writeIndex(const SVRingHandle& h) {
    return counter(h, SVRING_WRITE_INDEX_OFFSET);
}
uint64_t readIndex(const SVRingHandle& h) {
    return counter(h, SVRING_READ_INDEX_OFFSET);
}

const float* slot(const SVRingHandle& h, size_t i) {
    return reinterpret_cast<const float*>(static_cast<const char*>(h.base) + SVRING_HEADER_BYTES + 8 * i);
}

// Frames numbered from first: left = n, right = -n.
std::vector<float> numbered(uint64_t first, size_t count) {
    std::vector<float> f(count * 2);
    for (size_t i = 0; i < count; ++i) {
        f[2 * i] = static_cast<float>(first + i);
        f[2 * i + 1] = -static_cast<float>(first + i);
    }
    return f;
}

class RingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SVRing_OpenWriter(&writer));
        ASSERT_TRUE(SVRing_OpenReader(&reader));
    }
    void TearDown() override {
        SVRing_Close(&reader);
        SVRing_Close(&writer);
    }
    void write(uint64_t first, size_t count) {
        const std::vector<float> f = numbered(first, count);
        EXPECT_EQ(SVRing_Write(&writer, f.data(), count), count);
    }

    SVRingHandle writer{-1, nullptr};
    SVRingHandle reader{-1, nullptr};
};

TEST_F(RingTest, FreshRingReadsSilence) {
    std::vector<float> out(1024, 7.0f);
    EXPECT_EQ(SVRing_Read(&reader, out.data(), 512), 0u);
    EXPECT_EQ(out, std::vector<float>(1024, 0.0f));
    EXPECT_EQ(readIndex(reader), 0u);
    EXPECT_EQ(writeIndex(reader), 0u);
}

TEST_F(RingTest, PartialReadsEndInSilence) {
    write(0, 960);
    std::vector<float> out(1024);
    EXPECT_EQ(SVRing_Read(&reader, out.data(), 512), 512u);
    EXPECT_EQ(out, numbered(0, 512));
    EXPECT_EQ(SVRing_Read(&reader, out.data(), 512), 448u);
    std::vector<float> expected = numbered(512, 448);
    expected.resize(1024, 0.0f);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(readIndex(reader), 960u);
}

TEST_F(RingTest, LappedReaderSkipsToOldestFrameStillPresent) {
    for (uint64_t i = 0; i < 100000; i += 1000)
        write(i, 1000);
    std::vector<float> out(20);
    EXPECT_EQ(SVRing_Read(&reader, out.data(), 10), 10u);
    EXPECT_EQ(readIndex(reader), 52010u);
    EXPECT_EQ(out, numbered(52000, 10));
}

TEST_F(RingTest, ZeroCountReadStillSkips) {
    write(0, 30000);
    write(30000, 30000);
    EXPECT_EQ(SVRing_Read(&reader, nullptr, 0), 0u);
    EXPECT_EQ(readIndex(reader), 12000u);
}

TEST_F(RingTest, OversizeWriteKeepsItsLast48000Frames) {
    write(0, 50000);
    EXPECT_EQ(writeIndex(writer), 50000u);
    EXPECT_EQ(slot(writer, 0)[0], 48000.0f);
    EXPECT_EQ(slot(writer, 1999)[0], 49999.0f);
    EXPECT_EQ(slot(writer, 2000)[0], 2000.0f);
    std::vector<float> out(48000 * 2);
    EXPECT_EQ(SVRing_Read(&reader, out.data(), 48000), 48000u);
    EXPECT_EQ(out, numbered(2000, 48000));
}

TEST_F(RingTest, SlotsWrapAtTheRingSize) {
    write(0, 47999);
    write(47999, 2);
    EXPECT_EQ(slot(writer, 47999)[0], 47999.0f);
    EXPECT_EQ(reinterpret_cast<const char*>(slot(writer, 47999)) - static_cast<const char*>(writer.base),
              384008);
    EXPECT_EQ(slot(writer, 0)[0], 48000.0f);
    EXPECT_EQ(slot(writer, 0)[1], -48000.0f);
}

TEST_F(RingTest, NewWriterReplacesTheObject) {
    write(0, 100);
    SVRingHandle second{-1, nullptr};
    ASSERT_TRUE(SVRing_OpenWriter(&second));
    const std::vector<float> f = numbered(1000, 50);
    SVRing_Write(&second, f.data(), 50);
    std::vector<float> out(400);
    EXPECT_EQ(SVRing_Read(&reader, out.data(), 200), 100u);  // still the old object
    EXPECT_EQ(SVRing_Read(&reader, out.data(), 200), 0u);
    SVRing_Close(&reader);
    ASSERT_TRUE(SVRing_OpenReader(&reader));
    EXPECT_EQ(SVRing_Read(&reader, out.data(), 200), 50u);
    EXPECT_EQ(out[0], 1000.0f);
    SVRing_Close(&second);
}

// What the microphone hears is for the user's own programs only.
TEST_F(RingTest, RingIsPrivateToItsUser) {
    struct stat st {};
    ASSERT_EQ(fstat(writer.fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Ring, ClosedHandlesAreSafe) {
    SVRingHandle h{-1, nullptr};
    SVRing_Close(&h);
    EXPECT_EQ(h.fd, -1);
    std::vector<float> in(20, 1.0f);
    std::vector<float> out(20, 1.0f);
    EXPECT_EQ(SVRing_Write(&h, in.data(), 10), 0u);
    EXPECT_EQ(SVRing_Read(&h, out.data(), 10), 0u);
    EXPECT_EQ(out, std::vector<float>(20, 0.0f));
}

TEST(Ring, ReaderFailsWithoutWriterAndCloseLeavesObject) {
    shm_unlink(SVRING_NAME);
    SVRingHandle r{-1, nullptr};
    EXPECT_FALSE(SVRing_OpenReader(&r));
    EXPECT_EQ(r.base, nullptr);
    SVRingHandle w{-1, nullptr};
    ASSERT_TRUE(SVRing_OpenWriter(&w));
    SVRing_Close(&w);
    EXPECT_EQ(w.fd, -1);
    EXPECT_EQ(w.base, nullptr);
    EXPECT_TRUE(SVRing_OpenReader(&r));
    SVRing_Close(&r);
}

// A reader that comes between the writer's creation and sizing of the object
// must not map it (touching the mapping would fault).
TEST(Ring, ReaderRefusesAnObjectNotYetSized) {
    shm_unlink(SVRING_NAME);
    const int fd = shm_open(SVRING_NAME, O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    SVRingHandle r{-1, nullptr};
    EXPECT_FALSE(SVRing_OpenReader(&r));
    EXPECT_EQ(r.fd, -1);
    EXPECT_EQ(r.base, nullptr);
    close(fd);
    shm_unlink(SVRING_NAME);
}

// A writer process and a consuming reader process: every frame arrives once, in order.
TEST(Ring, TwoProcessesStreamInOrder) {
    SVRingHandle w{-1, nullptr};
    ASSERT_TRUE(SVRing_OpenWriter(&w));
    constexpr uint64_t kTotal = 480000;
    const pid_t child = fork();
    if (child == 0) {
        SVRingHandle r{-1, nullptr};
        if (!SVRing_OpenReader(&r)) _exit(2);
        std::vector<float> out(512 * 2);
        uint64_t next = 0;
        while (next < kTotal) {
            const size_t n = SVRing_Read(&r, out.data(), 512);
            for (size_t i = 0; i < n; ++i, ++next) {
                if (out[2 * i] != static_cast<float>(next % 1000000)) _exit(3);
            }
            if (n == 0) usleep(100);
        }
        _exit(0);
    }
    for (uint64_t i = 0; i < kTotal; i += 960) {
        std::vector<float> f(960 * 2);
        for (size_t k = 0; k < 960; ++k)
            f[2 * k] = static_cast<float>((i + k) % 1000000);
        // Stay within the ring so the reader is never lapped.
        while (writeIndex(w) - readIndex(w) > 40000)
            usleep(100);
        SVRing_Write(&w, f.data(), 960);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    SVRing_Close(&w);
}

}  // namespace
