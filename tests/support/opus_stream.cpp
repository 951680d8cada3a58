#include "opus_stream.h"

#include <opus.h>

#include <cmath>
#include <numbers>

#include "audio_packet.h"

namespace testsupport {

namespace {
constexpr int kRate = 48000;
constexpr int kFrames = 960;

std::vector<float> signal(int frames, int offset, double leftHz, double rightHz, float amplitude) {
    std::vector<float> pcm(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double t = static_cast<double>(offset + i) / kRate;
        pcm[2 * static_cast<size_t>(i)] =
            amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * leftHz * t));
        pcm[2 * static_cast<size_t>(i) + 1] =
            amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * rightHz * t));
    }
    return pcm;
}
}  // namespace

std::vector<Packet> encodeTestSignal(int count, double leftHz, double rightHz, float amplitude) {
    int error = 0;
    OpusEncoder* enc = opus_encoder_create(kRate, 2, OPUS_APPLICATION_AUDIO, &error);
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(96000));
    std::vector<Packet> packets;
    for (int p = 0; p < count; ++p) {
        const std::vector<float> pcm = signal(kFrames, p * kFrames, leftHz, rightHz, amplitude);
        Packet out(1500);
        const int n =
            opus_encode_float(enc, pcm.data(), kFrames, out.data(), static_cast<opus_int32>(out.size()));
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        packets.push_back(std::move(out));
    }
    opus_encoder_destroy(enc);
    return packets;
}

Packet encodeLongPacket() {
    int error = 0;
    OpusEncoder* enc = opus_encoder_create(kRate, 2, OPUS_APPLICATION_AUDIO, &error);
    const std::vector<float> pcm = signal(2 * kFrames, 0, 300, 500, 0.3f);
    Packet out(1500);
    const int n =
        opus_encode_float(enc, pcm.data(), 2 * kFrames, out.data(), static_cast<opus_int32>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    opus_encoder_destroy(enc);
    return out;
}

std::vector<uint8_t> makeDatagram(uint32_t sequence, const Packet& payload) {
    AudioPacketHeader h{};
    h.magic = AudioPacket::kMagic;
    h.sequence = sequence;
    h.payloadLength = static_cast<uint16_t>(payload.size());
    return AudioPacket::encode(h, payload.data(), payload.size());
}

}  // namespace testsupport
