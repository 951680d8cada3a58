#include "encoded_source.h"

#include <opus.h>

#include <vector>

namespace {
constexpr int kRate = 48000;
constexpr int kMaxPacketBytes = 1500;
}  // namespace

std::unique_ptr<EncodedSource> EncodedSource::create(std::unique_ptr<PcmSource> pcm, int bitrateBps,
                                                     std::string& error) {
    int status = OPUS_OK;
    OpusEncoder* encoder = opus_encoder_create(kRate, 2, OPUS_APPLICATION_AUDIO, &status);
    if (encoder == nullptr || status != OPUS_OK) {
        error = std::string("cannot create the Opus encoder: ") + opus_strerror(status);
        return nullptr;
    }
    if (opus_encoder_ctl(encoder, OPUS_SET_BITRATE(bitrateBps)) != OPUS_OK) {
        opus_encoder_destroy(encoder);
        error = "the Opus encoder refuses the bitrate " + std::to_string(bitrateBps) + " bit/s";
        return nullptr;
    }
    return std::unique_ptr<EncodedSource>(new EncodedSource(std::move(pcm), encoder));
}

EncodedSource::EncodedSource(std::unique_ptr<PcmSource> pcm, OpusEncoder* encoder)
    : pcm_(std::move(pcm)), encoder_(encoder) {}

EncodedSource::~EncodedSource() {
    opus_encoder_destroy(encoder_);
}

std::optional<SourcePacket> EncodedSource::next() {
    if (ended_) return std::nullopt;
    std::vector<float> pcm(2 * kFrames, 0.0f);
    size_t filled = 0;
    while (filled < kFrames) {
        const long got = pcm_->read(pcm.data() + 2 * filled, kFrames - filled);
        if (got < 0) {
            error_ = pcm_->errorText();
            ended_ = true;
            return std::nullopt;
        }
        if (got == 0) {
            ended_ = true;
            break;
        }
        filled += static_cast<size_t>(got);
    }
    if (filled == 0) return std::nullopt;

    SourcePacket packet;
    packet.payload.resize(kMaxPacketBytes);
    const int n = opus_encode_float(encoder_, pcm.data(), kFrames, packet.payload.data(), kMaxPacketBytes);
    if (n < 0) {
        error_ = std::string("Opus encoding failed: ") + opus_strerror(n);
        ended_ = true;
        return std::nullopt;
    }
    packet.payload.resize(static_cast<size_t>(n));
    packet.frames = kFrames;
    return packet;
}
