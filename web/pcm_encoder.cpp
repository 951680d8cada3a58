#include "pcm_encoder.h"

#include <array>
#include <cstddef>

namespace {
constexpr int kBitrate = 64000;
constexpr int kMaxPacket = 1275;
}  // namespace

PcmEncoder::PcmEncoder() {
    int error = OPUS_OK;
    encoder_ = opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, &error);
    if (error != OPUS_OK) {
        encoder_ = nullptr;
        return;
    }
    opus_encoder_ctl(encoder_, OPUS_SET_BITRATE(kBitrate));
}

PcmEncoder::~PcmEncoder() {
    if (encoder_) opus_encoder_destroy(encoder_);
}

std::vector<uint8_t> PcmEncoder::encode(const uint8_t* samples) {
    if (!encoder_) return {};
    std::array<opus_int16, kFrames> pcm;
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<opus_int16>(static_cast<uint16_t>(samples[2 * i] | samples[2 * i + 1] << 8));
    }
    std::vector<uint8_t> packet(kMaxPacket);
    const opus_int32 n = opus_encode(encoder_, pcm.data(), kFrames, packet.data(), kMaxPacket);
    packet.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return packet;
}
