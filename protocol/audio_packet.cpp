#include "audio_packet.h"

#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "the header is copied as its wire image");

namespace AudioPacket {

std::vector<uint8_t> encode(const AudioPacketHeader& header, const uint8_t* payload, uint64_t len) {
    std::vector<uint8_t> out(len + kHeaderSize, 0);
    std::memcpy(out.data(), &header, kHeaderSize);
    if (payload != nullptr && len != 0) std::memcpy(out.data() + kHeaderSize, payload, len);
    return out;
}

bool decode(const uint8_t* data, uint64_t n, AudioPacketHeader& header, const uint8_t*& payload,
            uint64_t& payloadLen) {
    if (n < kHeaderSize) return false;
    std::memcpy(&header, data, kHeaderSize);
    if (header.magic != kMagic) return false;
    if (n < kHeaderSize + header.payloadLength) return false;
    payload = data + kHeaderSize;
    payloadLen = header.payloadLength;
    return true;
}

}  // namespace AudioPacket
