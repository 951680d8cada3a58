#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct OpusDecoder;

// The limit every engine figure is compared with: a libopus decoder used
// directly, with nothing around it (48 kHz stereo, 960 frames per packet).
class BareDecoder {
public:
    static constexpr int kFrames = 960;

    BareDecoder();
    ~BareDecoder();
    BareDecoder(const BareDecoder&) = delete;
    BareDecoder& operator=(const BareDecoder&) = delete;

    bool ok() const { return decoder_ != nullptr; }
    // Frames per channel, or a negative libopus error.
    int decode(const std::vector<uint8_t>& payload) { return decode(payload.data(), payload.size()); }
    int decode(const uint8_t* payload, size_t length);
    // One lost packet's concealment.
    int conceal();
    // Forgets the history, as at the start of a new stream.
    void reset();
    const float* pcm() const { return pcm_.data(); }

private:
    OpusDecoder* decoder_ = nullptr;
    std::vector<float> pcm_;
};
