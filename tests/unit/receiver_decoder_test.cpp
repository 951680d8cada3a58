#include <gtest/gtest.h>

#include <chrono>

#include "net_client.h"
#include "opus_dec.h"
#include "opus_stream.h"
#include "udp_receiver.h"

namespace {

// (A port taken by another socket is the engine process's test.)
TEST(UdpReceiver, DatagramsAreTruncatedToTheBufferEmptyOnesGiveZeroAndNoneMinusOne) {
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
    ASSERT_EQ(r.recv(buf.data(), 2048, 20000), 2048);
    EXPECT_EQ(buf[2047], static_cast<uint8_t>(2047));
    EXPECT_EQ(r.recv(buf.data(), 2048, 20000), 0);
    ASSERT_EQ(r.recv(buf.data(), 2048, 20000), 3);  // the rest of the big one is gone
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(r.recv(buf.data(), 2048, 10), -1);  // nothing within the wait
}

// A packet longer than 20 ms is refused without harming the stream after it.
TEST(OpusDec, RefusesWhatItCannotDecodeAndGoesOn) {
    OpusDec d;
    std::vector<float> pcm(1920);
    EXPECT_EQ(d.decode(nullptr, 0, pcm.data(), 960), -1);  // before init
    EXPECT_FALSE(d.init(44100, 2));
    ASSERT_TRUE(d.init(48000, 2));
    EXPECT_EQ(d.decode(nullptr, 0, pcm.data(), 960), 960);
    const testsupport::Packet longPacket = testsupport::encodeLongPacket();
    EXPECT_EQ(d.decode(longPacket.data(), static_cast<int>(longPacket.size()), pcm.data(), 960), -1);
    const uint8_t garbage[3] = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(d.decode(garbage, 3, pcm.data(), 960), -1);
    const std::vector<testsupport::Packet> packets = testsupport::encodeTestSignal(1);
    EXPECT_EQ(d.decode(packets[0].data(), static_cast<int>(packets[0].size()), pcm.data(), 960), 960);
}

}  // namespace
