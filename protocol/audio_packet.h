#pragma once

#include <cstdint>
#include <vector>

// The 14-byte header of an audio datagram. A record in memory is the wire image
// (little-endian, no padding), so it is copied to and from a datagram as one block.
struct __attribute__((packed)) AudioPacketHeader {
    uint16_t magic;
    uint16_t aux16;  // the sender's; carried, never interpreted
    uint32_t sequence;
    uint32_t aux32;  // the sender's; carried, never interpreted
    uint16_t payloadLength;
};
static_assert(sizeof(AudioPacketHeader) == 14);

namespace AudioPacket {

inline constexpr uint16_t kMagic = 0x5356;
inline constexpr uint64_t kHeaderSize = sizeof(AudioPacketHeader);

// Builds a datagram from the header exactly as given (the caller sets magic and
// payloadLength) followed by len payload bytes; a null payload leaves them zero.
std::vector<uint8_t> encode(const AudioPacketHeader& header, const uint8_t* payload, uint64_t len);

// True for a well-formed datagram: at least 14 bytes, the magic, and the whole
// declared payload present (extra bytes after it are ignored). The payload pointer
// points into data; nothing is copied. Below 14 bytes the outputs stay untouched;
// otherwise the header holds the bytes read even when false is returned.
bool decode(const uint8_t* data, uint64_t n, AudioPacketHeader& header, const uint8_t*& payload,
            uint64_t& payloadLen);

}  // namespace AudioPacket
