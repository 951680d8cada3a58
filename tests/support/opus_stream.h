#pragma once

#include <cstdint>
#include <vector>

namespace testsupport {

using Packet = std::vector<uint8_t>;

// Real Opus packets and audio datagrams as a phone sends them.

// Encodes count 20 ms packets of a known stereo signal (440 Hz left, 660 Hz
// right, peak 0.5) with the libopus encoder at 48 kHz.
std::vector<Packet> encodeTestSignal(int count);

// One 40 ms packet (too long for a 960-frame limit).
Packet encodeLongPacket();

// Builds an audio datagram with the engine's header.
std::vector<uint8_t> makeDatagram(uint32_t sequence, const Packet& payload);

}  // namespace testsupport
