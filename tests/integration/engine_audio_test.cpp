#include <opus.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "engine_fixture.h"
#include "jitter_buffer.h"
#include "opus_stream.h"

namespace testsupport {
namespace {

// Replays what the engine should do with each arriving datagram: the jitter
// buffer's play-out steps decoded by an independent libopus decoder.
class ReferenceReceiver {
public:
    ReferenceReceiver() {
        int error = 0;
        decoder_ = opus_decoder_create(48000, 2, &error);
    }
    ~ReferenceReceiver() { opus_decoder_destroy(decoder_); }

    void arrive(uint32_t seq, const Packet& payload) {
        jitter_.push(seq, Packet(payload));
        Packet out;
        bool lost = false;
        std::vector<float> pcm(1920);
        while (jitter_.pop(out, lost)) {
            const bool conceal = lost || out.empty();
            const int n =
                opus_decode_float(decoder_, conceal ? nullptr : out.data(),
                                  conceal ? 0 : static_cast<opus_int32>(out.size()), pcm.data(), 960, 0);
            if (n > 0) frames.insert(frames.end(), pcm.begin(), pcm.begin() + 2 * n);
            ++steps;
        }
    }

    std::vector<float> frames;
    int steps = 0;

private:
    OpusDecoder* decoder_;
    JitterBuffer jitter_;
};

class EngineAudioTest : public EngineTest {
protected:
    // Sends one datagram and waits until the engine has written what the reference
    // says it should, collecting the ring's frames as its consuming reader.
    void deliver(UdpSender& udp, uint32_t seq, const Packet& payload) {
        ASSERT_TRUE(udp.send(makeDatagram(seq, payload)));
        const size_t before = reference.frames.size();
        reference.arrive(seq, payload);
        const size_t expected = reference.frames.size() / 2;
        if (expected == before / 2) {
            std::this_thread::sleep_for(3ms);  // nothing new to see; give the engine its turn
        } else {
            ASSERT_TRUE(waitForFrames(expected)) << "seq " << seq << " expected " << expected;
        }
        collect();
    }

    void collect() {
        std::vector<float> buf(48000 * 2);
        const size_t n = SVRing_Read(&ring, buf.data(), 48000);
        received.insert(received.end(), buf.begin(), buf.begin() + static_cast<long>(2 * n));
    }

    ReferenceReceiver reference;
    std::vector<float> received;
};

TEST_F(EngineAudioTest, DroppedBeforeHelloAdmittedAfter) {
    launchReady({"--pin", "2468"});
    const std::vector<Packet> packets = encodeTestSignal(40);
    UdpSender udp(kAudioPort);
    TcpClient stranger;
    ASSERT_TRUE(stranger.connectWithin(kControlPort, 5s));
    for (uint32_t s = 0; s < 20; ++s)
        udp.send(makeDatagram(s, packets[s]));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(writeIndex(), 0u);

    TcpClient phone = authedClient("2468");
    for (uint32_t s = 20; s < 40; ++s)
        deliver(udp, s, packets[s]);
    EXPECT_EQ(writeIndex(), 20u * 960u);
    EXPECT_EQ(received, reference.frames);

    // Once the phone hangs up, audio is dropped again.
    phone.close();
    std::this_thread::sleep_for(100ms);
    for (uint32_t s = 40; s < 50; ++s)
        udp.send(makeDatagram(s, packets[s % 40]));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(writeIndex(), 20u * 960u);
}

// Real encoder packets with loss, reordering, duplicates, an empty payload and a
// 40 ms packet: the ring must hold exactly what an independent decoder makes of
// the same play-out sequence, concealment included.
TEST_F(EngineAudioTest, RingIsBitExactAgainstIndependentDecode) {
    launchReady({"--pin", "1357"});
    TcpClient phone = authedClient("1357");
    constexpr int kPackets = 400;
    const uint32_t base = 0xFFFFFF00u;  // the stream wraps through 0
    std::vector<Packet> packets = encodeTestSignal(kPackets);
    packets[123].clear();               // empty payload: concealed
    packets[200] = encodeLongPacket();  // rejected by the decoder, writes nothing

    std::mt19937 rng(20261206);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < kPackets; ++i) {
        if (chance(rng) < 0.05) continue;  // lost
        order.push_back(i);
        if (chance(rng) < 0.03) order.push_back(i);  // duplicated
    }
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        if (chance(rng) < 0.05) std::swap(order[i], order[i + 1]);  // reordered
    }

    UdpSender udp(kAudioPort);
    for (uint32_t i : order)
        deliver(udp, base + i, packets[i]);
    std::this_thread::sleep_for(50ms);
    collect();

    ASSERT_GT(reference.frames.size(), 300u * 960u * 2u);
    ASSERT_EQ(received.size(), reference.frames.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), reference.frames.begin(),
                           [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }));
    double energy = 0;
    for (float v : received)
        energy += static_cast<double>(v) * v;
    EXPECT_GT(std::sqrt(energy / static_cast<double>(received.size())), 0.1);
}

// While one phone is paired, another host cannot inject audio into the microphone.
TEST_F(EngineAudioTest, AudioFromHostsThatNeverPairedIsDropped) {
    launchReady({"--pin", "8642"});
    TcpClient phone;
    ASSERT_TRUE(phone.connect(kControlPort, "127.0.0.1", "127.0.0.5"));
    phone.send("{\"t\":\"hello\",\"pin\":\"8642\"}\n");
    ASSERT_EQ(phone.readLine(5s), "{\"t\":\"hello_ok\"}");
    const std::vector<Packet> packets = encodeTestSignal(8);
    UdpSender intruder(kAudioPort, "127.0.0.6");
    for (uint32_t s = 0; s < 8; ++s)
        intruder.send(makeDatagram(s, packets[s]));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(writeIndex(), 0u);
    UdpSender paired(kAudioPort, "127.0.0.5");
    for (uint32_t s = 0; s < 8; ++s)
        paired.send(makeDatagram(s, packets[s]));
    EXPECT_TRUE(waitForFrames(8 * 960));
}

TEST_F(EngineAudioTest, MalformedDatagramsNeverReachTheBuffer) {
    launchReady({});
    UdpSender udp(kAudioPort);
    const std::vector<Packet> packets = encodeTestSignal(1);
    std::vector<uint8_t> wrongMagic = makeDatagram(0, packets[0]);
    std::swap(wrongMagic[0], wrongMagic[1]);
    std::vector<uint8_t> truncated = makeDatagram(0, packets[0]);
    truncated.pop_back();
    udp.send(wrongMagic);
    udp.send(truncated);
    udp.send({});
    udp.send({0x56, 0x53});
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(writeIndex(), 0u);
    // A lone good packet (target 4) is not played yet, and then a jump far ahead
    // is concealed by at most 50 packets.
    udp.send(makeDatagram(10, packets[0]));
    udp.send(makeDatagram(11, packets[0]));
    udp.send(makeDatagram(12, packets[0]));
    udp.send(makeDatagram(13, packets[0]));
    ASSERT_TRUE(waitForFrames(4 * 960));
    udp.send(makeDatagram(2000000000u, packets[0]));
    ASSERT_TRUE(waitForFrames(55 * 960));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(writeIndex(), 55u * 960u);
}

}  // namespace
}  // namespace testsupport
