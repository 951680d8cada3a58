#include "datagram_stream.h"

#include <cstring>

#include "audio_packet.h"
#include "tone_packets.h"

namespace {
constexpr size_t kSequenceOffset = offsetof(AudioPacketHeader, sequence);
}

DatagramStream::DatagramStream(const PacketSet& packets, uint16_t port) : sender_(port) {
    for (const PacketSet::Payload& payload : packets.payloads())
        datagrams_.push_back(devkit::makeDatagram(0, payload));
}

bool DatagramStream::sendNext() {
    std::vector<uint8_t>& datagram = datagrams_[sent_ % datagrams_.size()];
    const uint32_t seq = nextSeq_;  // the wire is little-endian, like this machine
    std::memcpy(datagram.data() + kSequenceOffset, &seq, sizeof seq);
    ++nextSeq_;
    ++sent_;
    return sender_.send(datagram);
}
