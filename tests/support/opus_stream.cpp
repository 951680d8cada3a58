#include "opus_stream.h"

#include <opus.h>

#include <cmath>
#include <numbers>

#include "audio_packet.h"

namespace testsupport {

namespace {
constexpr int kRate = 48000;
constexpr int kFrames = 960;

// count packets of framesEach frames of a tone per channel, by one encoder in order.
std::vector<Packet> encode(int count, int framesEach, double leftHz, double rightHz, float amplitude) {
    int error = 0;
    OpusEncoder* enc = opus_encoder_create(kRate, 2, OPUS_APPLICATION_AUDIO, &error);
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(96000));
    std::vector<Packet> packets;
    std::vector<float> pcm(2 * static_cast<size_t>(framesEach));
    for (int p = 0; p < count; ++p) {
        for (size_t i = 0; i < pcm.size(); ++i) {
            const double t = static_cast<double>(p * framesEach + static_cast<int>(i / 2)) / kRate;
            const double hz = i % 2 == 0 ? leftHz : rightHz;
            pcm[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * hz * t));
        }
        Packet out(1500);
        const int n =
            opus_encode_float(enc, pcm.data(), framesEach, out.data(), static_cast<opus_int32>(out.size()));
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        packets.push_back(std::move(out));
    }
    opus_encoder_destroy(enc);
    return packets;
}
}  // namespace

std::vector<Packet> encodeTestSignal(int count) {
    return encode(count, kFrames, 440, 660, 0.5f);
}

Packet encodeLongPacket() {
    return encode(1, 2 * kFrames, 300, 500, 0.3f).front();
}

std::vector<uint8_t> makeDatagram(uint32_t sequence, const Packet& payload) {
    AudioPacketHeader h{};
    h.magic = AudioPacket::kMagic;
    h.sequence = sequence;
    h.payloadLength = static_cast<uint16_t>(payload.size());
    return AudioPacket::encode(h, payload.data(), payload.size());
}

}  // namespace testsupport
