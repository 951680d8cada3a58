// Datagrams from the network: decode must accept exactly the well-formed ones,
// point inside the datagram, and round-trip through encode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "audio_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    AudioPacketHeader header{};
    const uint8_t* payload = nullptr;
    uint64_t length = 0;
    if (!AudioPacket::decode(data, size, header, payload, length)) return 0;
    if (header.magic != AudioPacket::kMagic || length != header.payloadLength) std::abort();
    if (payload != data + AudioPacket::kHeaderSize || AudioPacket::kHeaderSize + length > size) std::abort();
    const std::vector<uint8_t> again = AudioPacket::encode(header, payload, length);
    if (again.size() != AudioPacket::kHeaderSize + length ||
        std::memcmp(again.data(), data, again.size()) != 0) {
        std::abort();
    }
    return 0;
}
