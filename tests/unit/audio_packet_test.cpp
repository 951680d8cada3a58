#include "audio_packet.h"

#include <gtest/gtest.h>

namespace {

AudioPacketHeader header(uint32_t seq, uint16_t len, uint16_t magic = AudioPacket::kMagic) {
    AudioPacketHeader h{};
    h.magic = magic;
    h.aux16 = 0xBEEF;
    h.sequence = seq;
    h.aux32 = 0xDEADBEEF;
    h.payloadLength = len;
    return h;
}

TEST(AudioPacket, WireLayoutIsLittleEndianWithoutPaddingAndANullPayloadIsZeros) {
    const std::vector<uint8_t> bytes = AudioPacket::encode(header(0x04030201, 2), nullptr, 2);
    const std::vector<uint8_t> expected = {0x56, 0x53, 0xEF, 0xBE, 0x01, 0x02, 0x03, 0x04,
                                           0xEF, 0xBE, 0xAD, 0xDE, 0x02, 0x00, 0x00, 0x00};
    EXPECT_EQ(bytes, expected);
}

TEST(AudioPacket, Decoding) {
    const std::vector<uint8_t> payload = {1, 2, 3, 4, 5};
    std::vector<uint8_t> extra = AudioPacket::encode(header(0xFFFFFFFFu, 5), payload.data(), 5);
    extra.resize(extra.size() + 10, 0xAA);
    std::vector<uint8_t> truncated = AudioPacket::encode(header(5, 5), payload.data(), 5);
    truncated.pop_back();
    std::vector<uint8_t> short13 = AudioPacket::encode(header(5, 0), nullptr, 0);
    short13.pop_back();
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        bool ok;
        uint64_t length;
    };
    const Row rows[] = {
        {"payload", AudioPacket::encode(header(7, 5), payload.data(), 5), true, 5},
        {"bytes after the payload are ignored", extra, true, 5},
        {"an empty payload in exactly 14 bytes", AudioPacket::encode(header(7, 0), nullptr, 0), true, 0},
        {"magic in the other byte order", AudioPacket::encode(header(7, 0, 0x5653), nullptr, 0), false, 0},
        {"declared payload longer than the datagram", truncated, false, 0},
        {"shorter than the header", short13, false, 0},
    };
    for (const Row& row : rows) {
        AudioPacketHeader h{};
        const uint8_t* data = nullptr;
        uint64_t length = 0;
        ASSERT_EQ(AudioPacket::decode(row.bytes.data(), row.bytes.size(), h, data, length), row.ok)
            << row.name;
        if (!row.ok) continue;
        EXPECT_EQ(length, row.length) << row.name;
        EXPECT_EQ(data, row.bytes.data() + AudioPacket::kHeaderSize) << row.name;  // no copy
        EXPECT_EQ(std::vector<uint8_t>(data, data + length),
                  std::vector<uint8_t>(payload.begin(), payload.begin() + static_cast<long>(length)))
            << row.name;
        EXPECT_EQ(h.aux32, 0xDEADBEEFu) << row.name;
    }
}

}  // namespace
