#pragma once

#include <ogg/ogg.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "packet_source.h"

// Hands out the audio packets of an Ogg Opus file exactly as they are stored,
// so packets made by another encoder reach the engine unchanged. Only the first
// logical stream is read; it must be mono or stereo (channel mapping family 0).
// Each packet's duration comes from its TOC; one that cannot be parsed counts as
// 20 ms for pacing and is still sent.
class OggOpusSource : public PacketSource {
public:
    static std::unique_ptr<OggOpusSource> open(const std::string& path, bool loop, std::string& error);
    ~OggOpusSource() override;
    OggOpusSource(const OggOpusSource&) = delete;
    OggOpusSource& operator=(const OggOpusSource&) = delete;

    std::optional<SourcePacket> next() override;
    std::string errorText() const override { return error_; }

    int channels() const { return channels_; }

private:
    OggOpusSource(std::FILE* file, std::string path, bool loop);
    bool start();  // (re)reads the two header packets from the current position
    std::optional<std::vector<uint8_t>> nextRawPacket();
    void resetStream();

    std::FILE* file_;
    std::string path_;
    bool loop_;
    ogg_sync_state sync_{};
    ogg_stream_state stream_{};
    bool streamOpen_ = false;
    int channels_ = 0;
    uint64_t audioPackets_ = 0;  // in the current pass; a loop over none would spin
    std::string error_;
};
