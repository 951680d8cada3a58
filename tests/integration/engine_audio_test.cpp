// The engine fed raw datagrams: what reaches the ring, checked against the
// independent reference receiver.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "engine_process.h"
#include "opus_stream.h"
#include "reference_receiver.h"
#include "ring_tap.h"
#include "sonvale_protocol.h"
#include "wait.h"

namespace testsupport {
namespace {

using namespace std::chrono_literals;

class EngineAudio : public ::testing::Test {
protected:
    void start(const std::string& pin) {
        engine = std::make_unique<EngineProcess>(EngineProcess::withPin(pin));
        ASSERT_TRUE(engine->waitReady());
        ASSERT_TRUE(tap.poll());
    }

    // Sends one datagram as the phone and collects what the engine wrote for it;
    // the engine plays out after every datagram, so arrival order decides all.
    void deliver(UdpSender& udp, uint32_t seq, const Packet& payload) {
        ASSERT_TRUE(udp.send(makeDatagram(seq, payload)));
        reference.arrive(seq, payload);
        ASSERT_TRUE(waitFor([&] { return tap.poll() && tap.frames.size() / 2 >= reference.frames(); }))
            << "seq " << seq << ": " << tap.frames.size() / 2 << " of " << reference.frames();
    }

    std::unique_ptr<EngineProcess> engine;
    RingTap tap;
    ReferenceReceiver reference;
};

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Real encoder packets with an empty payload, a 40 ms packet and malformed
// datagrams between them, numbered across the wrap and with a jump far ahead (a
// phone that started again: a new stream): the ring holds exactly what the
// reference receiver makes of them. Datagrams from another host than the paired
// phone's, each sent just before one of the phone's, would change the audio if
// they were admitted. (Loss, reordering and duplicates are the phone's journey.)
TEST_F(EngineAudio, RingIsBitExactAgainstTheReferenceReceiver) {
    start("1357");
    std::optional<ControlClient> phone = ControlClient::pair("1357", "127.0.0.5");
    ASSERT_TRUE(phone);
    constexpr uint32_t kPackets = 400;
    const uint32_t base = 0xFFFFFF00u;
    std::vector<Packet> packets = encodeTestSignal(kPackets);
    packets[123].clear();
    packets[200] = encodeLongPacket();
    std::vector<uint8_t> wrongMagic = makeDatagram(base + 7, packets[7]);
    std::swap(wrongMagic[0], wrongMagic[1]);
    std::vector<uint8_t> truncated = makeDatagram(base + 9, packets[9]);
    truncated.pop_back();
    const std::vector<std::vector<uint8_t>> malformed = {wrongMagic, truncated, {}, {0x56, 0x53}};

    UdpSender udp(sonvale::kAudioPort, "127.0.0.5");
    UdpSender intruder(sonvale::kAudioPort, "127.0.0.6");
    for (uint32_t k = 0; k < kPackets; ++k) {
        if (k % 50 == 25) udp.send(malformed[k / 50 % malformed.size()]);
        if (k % 10 == 5) intruder.send(makeDatagram(base + k + 2, packets[k % 50]));
        deliver(udp, base + k + (k >= 300 ? 5000 : 0), packets[k]);
    }
    EXPECT_TRUE(phone->ping());
    tap.poll();
    EXPECT_EQ(tap.missed, 0u);
    ASSERT_GT(reference.frames(), 300u * 960u);
    EXPECT_TRUE(sameBits(tap.frames, reference.samples()));
}

}  // namespace
}  // namespace testsupport
