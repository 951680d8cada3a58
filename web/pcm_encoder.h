#pragma once

#include <opus.h>

#include <cstdint>
#include <vector>

// Turns a page's 20 ms PCM chunks (960 mono 16-bit samples at 48 kHz) into Opus
// packets that the engine's stereo decoder plays on both channels. Owns its
// libopus encoder.
class PcmEncoder {
public:
    static constexpr int kFrames = 960;

    PcmEncoder();
    ~PcmEncoder();
    PcmEncoder(const PcmEncoder&) = delete;
    PcmEncoder& operator=(const PcmEncoder&) = delete;

    bool valid() const { return encoder_ != nullptr; }
    // little-endian samples, kFrames of them; an empty packet when encoding fails.
    std::vector<uint8_t> encode(const uint8_t* samples);

private:
    OpusEncoder* encoder_ = nullptr;
};
