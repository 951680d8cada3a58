#pragma once

#include <memory>
#include <optional>
#include <string>

#include "packet_source.h"
#include "pcm_source.h"

struct OpusEncoder;

// Encodes a PCM source with the libopus encoder into 20 ms packets (960 frames,
// 48 kHz stereo). The last partial frame is padded with silence.
class EncodedSource : public PacketSource {
public:
    static constexpr int kFrames = 960;

    // nullptr with error filled when the encoder cannot be set up.
    static std::unique_ptr<EncodedSource> create(std::unique_ptr<PcmSource> pcm, int bitrateBps,
                                                 std::string& error);
    ~EncodedSource() override;
    EncodedSource(const EncodedSource&) = delete;
    EncodedSource& operator=(const EncodedSource&) = delete;

    std::optional<SourcePacket> next() override;
    std::string errorText() const override { return error_; }

private:
    EncodedSource(std::unique_ptr<PcmSource> pcm, OpusEncoder* encoder);

    std::unique_ptr<PcmSource> pcm_;
    OpusEncoder* encoder_;
    bool ended_ = false;
    std::string error_;
};
