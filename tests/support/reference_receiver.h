// What the engine's ring must hold for the datagrams a phone sent, worked out
// independently of the engine's own code (its jitter buffer and decoder wrapper)
// with libopus directly, so a bit-exact comparison checks ordering too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "opus_stream.h"

struct OpusDecoder;

namespace testsupport {

// Feed it the admitted payloads in the order the engine receives them. The
// engine plays out after every datagram, so this order alone decides the result:
// - the first datagram fixes where play-out starts; anything earlier is late;
// - nothing plays until `target` distinct packets are held, then every held
//   packet plays at once, in sequence order (numbers wrap modulo 2^32);
// - late and duplicate numbers are dropped;
// - each missing number before a held one is concealed (960 frames) when the
//   gap is at most 50; a wider gap starts a new stream: nothing concealed, a
//   fresh decoder; an empty payload is concealed too;
// - a payload the decoder refuses (e.g. 40 ms) writes nothing.
class ReferenceReceiver {
public:
    explicit ReferenceReceiver(int target = 4);
    ~ReferenceReceiver();
    ReferenceReceiver(const ReferenceReceiver&) = delete;
    ReferenceReceiver& operator=(const ReferenceReceiver&) = delete;

    void arrive(uint32_t seq, const Packet& payload);
    // Interleaved stereo frames the ring must hold, from its first frame on.
    const std::vector<float>& samples() const { return samples_; }
    uint64_t frames() const { return samples_.size() / 2; }
    // Packets played from their payload, and the numbers played as concealment.
    uint64_t played() const { return played_; }
    const std::vector<uint32_t>& concealed() const { return concealed_; }

private:
    void playIfReady();
    void decode(const Packet* payload);

    OpusDecoder* decoder_ = nullptr;
    size_t target_;
    bool started_ = false;
    bool playing_ = false;
    uint32_t next_ = 0;
    std::vector<std::pair<uint32_t, Packet>> held_;
    std::vector<float> samples_;
    uint64_t played_ = 0;
    std::vector<uint32_t> concealed_;
};

}  // namespace testsupport
