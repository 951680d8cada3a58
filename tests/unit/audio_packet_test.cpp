#include "audio_packet.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

AudioPacketHeader header(uint32_t seq, uint16_t len) {
    AudioPacketHeader h{};
    h.magic = AudioPacket::kMagic;
    h.aux16 = 0xBEEF;
    h.sequence = seq;
    h.aux32 = 0xDEADBEEF;
    h.payloadLength = len;
    return h;
}

struct Decoded {
    bool ok;
    AudioPacketHeader header{};
    const uint8_t* payload = nullptr;
    uint64_t length = 0;
};

Decoded decode(const std::vector<uint8_t>& bytes) {
    Decoded d{};
    d.ok = AudioPacket::decode(bytes.data(), bytes.size(), d.header, d.payload, d.length);
    return d;
}

TEST(AudioPacket, WireLayoutIsLittleEndianWithoutPadding) {
    const std::vector<uint8_t> bytes = AudioPacket::encode(header(0x04030201, 2), nullptr, 2);
    const std::vector<uint8_t> expected = {0x56, 0x53, 0xEF, 0xBE, 0x01, 0x02, 0x03, 0x04,
                                           0xEF, 0xBE, 0xAD, 0xDE, 0x02, 0x00, 0x00, 0x00};
    EXPECT_EQ(bytes, expected);
}

TEST(AudioPacket, RoundTripKeepsHeaderAndPayload) {
    for (uint32_t seq : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        const std::vector<uint8_t> payload = {1, 2, 3, 4, 5};
        const std::vector<uint8_t> bytes =
            AudioPacket::encode(header(seq, 5), payload.data(), payload.size());
        const Decoded d = decode(bytes);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(std::memcmp(&d.header, bytes.data(), 14), 0);
        EXPECT_EQ(d.header.sequence, seq);
        EXPECT_EQ(d.length, 5u);
        EXPECT_EQ(d.payload, bytes.data() + 14);  // points into the datagram, no copy
        EXPECT_EQ(std::vector<uint8_t>(d.payload, d.payload + d.length), payload);
    }
}

TEST(AudioPacket, EmptyPayloadOfExactly14BytesIsAccepted) {
    const Decoded d = decode(AudioPacket::encode(header(7, 0), nullptr, 0));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.length, 0u);
}

TEST(AudioPacket, ExtraBytesAfterThePayloadAreIgnored) {
    std::vector<uint8_t> bytes = AudioPacket::encode(header(7, 3), nullptr, 3);
    bytes.resize(bytes.size() + 10, 0xAA);
    const Decoded d = decode(bytes);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.length, 3u);
}

TEST(AudioPacket, Rejections) {
    // Too short: the outputs stay untouched.
    std::vector<uint8_t> shortBytes(13, 0);
    shortBytes[0] = 0x56;
    shortBytes[1] = 0x53;
    AudioPacketHeader h{};
    h.sequence = 99;
    const uint8_t* payload = nullptr;
    uint64_t len = 77;
    EXPECT_FALSE(AudioPacket::decode(shortBytes.data(), shortBytes.size(), h, payload, len));
    EXPECT_EQ(h.sequence, 99u);
    EXPECT_EQ(len, 77u);

    // Magic in the other byte order: the header record still holds the bytes read.
    std::vector<uint8_t> swapped = AudioPacket::encode(header(5, 0), nullptr, 0);
    swapped[0] = 0x53;
    swapped[1] = 0x56;
    h = {};
    EXPECT_FALSE(AudioPacket::decode(swapped.data(), swapped.size(), h, payload, len));
    EXPECT_EQ(h.sequence, 5u);

    // Header claims one byte more than the datagram holds.
    std::vector<uint8_t> truncated = AudioPacket::encode(header(5, 10), nullptr, 10);
    truncated.pop_back();
    EXPECT_FALSE(decode(truncated).ok);
}

TEST(AudioPacket, NullPayloadWithLengthGivesZeroBytes) {
    const std::vector<uint8_t> bytes = AudioPacket::encode(header(1, 4), nullptr, 4);
    ASSERT_EQ(bytes.size(), 18u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 14, bytes.end()), std::vector<uint8_t>(4, 0));
}

}  // namespace
