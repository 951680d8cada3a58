#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One Opus packet ready to send and how much audio it holds.
struct SourcePacket {
    std::vector<uint8_t> payload;
    uint32_t frames = 960;  // per channel, at 48 kHz; paces the sender
};

class PacketSource {
public:
    virtual ~PacketSource() = default;

    // The next packet, or nullopt at the end or on an error (errorText() is then
    // not empty).
    virtual std::optional<SourcePacket> next() = 0;
    virtual std::string errorText() const { return {}; }
};
