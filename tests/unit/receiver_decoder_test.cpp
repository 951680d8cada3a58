#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "net_client.h"
#include "opus_dec.h"
#include "opus_stream.h"
#include "udp_receiver.h"

namespace {

using namespace std::chrono_literals;

TEST(UdpReceiver, PortZeroIsChosenBySystem) {
    UdpReceiver r;
    EXPECT_EQ(r.boundPort(), 0);
    ASSERT_TRUE(r.bind(0));
    EXPECT_NE(r.boundPort(), 0);
}

TEST(UdpReceiver, TakenPortFailsAndRecvThenReturnsAtOnce) {
    UdpReceiver first;
    ASSERT_TRUE(first.bind(0));
    UdpReceiver second;
    ASSERT_TRUE(second.bind(0));
    EXPECT_FALSE(second.bind(first.boundPort()));
    uint8_t buf[16];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(second.recv(buf, sizeof buf, 1000), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
}

TEST(UdpReceiver, TimeoutGivesMinusOne) {
    UdpReceiver r;
    ASSERT_TRUE(r.bind(0));
    uint8_t buf[16];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(r.recv(buf, sizeof buf, 30), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 25ms);
}

TEST(UdpReceiver, DatagramsAreTruncatedToTheBufferAndEmptyOnesGiveZero) {
    UdpReceiver r;
    ASSERT_TRUE(r.bind(0));
    testsupport::UdpSender s(r.boundPort());
    std::vector<uint8_t> big(3000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(s.send(big));
    ASSERT_TRUE(s.send({}));
    ASSERT_TRUE(s.send({9, 8, 7}));
    std::vector<uint8_t> buf(2048, 0);
    ASSERT_EQ(r.recv(buf.data(), 2048, 1000), 2048);
    EXPECT_EQ(buf[2047], static_cast<uint8_t>(2047));
    EXPECT_EQ(r.recv(buf.data(), 2048, 1000), 0);
    ASSERT_EQ(r.recv(buf.data(), 2048, 1000), 3);  // the rest of the big one is gone
    EXPECT_EQ(buf[0], 9);
}

TEST(UdpReceiver, RecvOnClosedReceiver) {
    UdpReceiver r;
    uint8_t buf[4];
    EXPECT_EQ(r.recv(buf, sizeof buf, 10), -1);
}

TEST(OpusDec, WithoutInitDecodeFails) {
    OpusDec d;
    std::vector<float> pcm(1920);
    EXPECT_EQ(d.decode(nullptr, 0, pcm.data(), 960), -1);
}

TEST(OpusDec, ConcealmentRightAfterInitGives960Frames) {
    OpusDec d;
    ASSERT_TRUE(d.init(48000, 2));
    std::vector<float> pcm(1920, 1.0f);
    EXPECT_EQ(d.decode(nullptr, 0, pcm.data(), 960), 960);
}

TEST(OpusDec, RejectsBadInitAndA40msPacketButKeepsDecoding) {
    OpusDec bad;
    EXPECT_FALSE(bad.init(44100, 2));

    OpusDec d;
    ASSERT_TRUE(d.init(48000, 2));
    std::vector<float> pcm(1920);
    const testsupport::Packet longPacket = testsupport::encodeLongPacket();
    ASSERT_FALSE(longPacket.empty());
    EXPECT_EQ(d.decode(longPacket.data(), static_cast<int>(longPacket.size()), pcm.data(), 960), -1);
    const std::vector<testsupport::Packet> packets = testsupport::encodeTestSignal(1);
    EXPECT_EQ(d.decode(packets[0].data(), static_cast<int>(packets[0].size()), pcm.data(), 960), 960);
    const uint8_t garbage[3] = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(d.decode(garbage, 3, pcm.data(), 960), -1);
}

}  // namespace
