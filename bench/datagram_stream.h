#pragma once

#include <cstdint>
#include <vector>

#include "loopback_client.h"
#include "packet_set.h"

// Sends the packet set to the engine's audio port as the phone does: one
// datagram per packet, sequence numbers rising by one, the packets cycled
// in their order. The datagrams are built once; only the number changes.
class DatagramStream {
public:
    DatagramStream(const PacketSet& packets, uint16_t port);

    // Sends the next packet; false when the socket refused it.
    bool sendNext();
    // Moves the next sequence number by delta (a gap, or a jump far ahead).
    void skip(uint32_t delta) { nextSeq_ += delta; }
    uint64_t sent() const { return sent_; }

private:
    std::vector<std::vector<uint8_t>> datagrams_;
    devkit::UdpSender sender_;
    uint32_t nextSeq_ = 0;
    uint64_t sent_ = 0;
};
