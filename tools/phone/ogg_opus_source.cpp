#include "ogg_opus_source.h"

#include <opus.h>

#include <cstring>

namespace {
constexpr size_t kReadChunk = 4096;
constexpr uint32_t kFallbackFrames = 960;

bool startsWith(const std::vector<uint8_t>& packet, const char* magic) {
    const size_t n = std::strlen(magic);
    return packet.size() >= n && std::memcmp(packet.data(), magic, n) == 0;
}
}  // namespace

std::unique_ptr<OggOpusSource> OggOpusSource::open(const std::string& path, bool loop, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<OggOpusSource> source(new OggOpusSource(file, path, loop));
    if (!source->start()) {
        error = source->error_;
        return nullptr;
    }
    return source;
}

OggOpusSource::OggOpusSource(std::FILE* file, std::string path, bool loop)
    : file_(file), path_(std::move(path)), loop_(loop) {
    ogg_sync_init(&sync_);
}

OggOpusSource::~OggOpusSource() {
    if (streamOpen_) ogg_stream_clear(&stream_);
    ogg_sync_clear(&sync_);
    std::fclose(file_);
}

void OggOpusSource::resetStream() {
    if (streamOpen_) ogg_stream_clear(&stream_);
    streamOpen_ = false;
    ogg_sync_reset(&sync_);
}

bool OggOpusSource::start() {
    const std::optional<std::vector<uint8_t>> head = nextRawPacket();
    // OpusHead: magic, version, channel count, pre-skip, rate, gain, mapping family.
    if (!head || !startsWith(*head, "OpusHead") || head->size() < 19) {
        if (error_.empty()) error_ = path_ + ": not an Ogg Opus file";
        return false;
    }
    const uint8_t version = (*head)[8];
    channels_ = (*head)[9];
    const uint8_t family = (*head)[18];
    if ((version >> 4) != 0 || family != 0 || channels_ < 1 || channels_ > 2) {
        error_ = path_ + ": only mono or stereo Ogg Opus (mapping family 0) can be sent";
        return false;
    }
    const std::optional<std::vector<uint8_t>> tags = nextRawPacket();
    if (!tags || !startsWith(*tags, "OpusTags")) {
        if (error_.empty()) error_ = path_ + ": the Ogg Opus comment header is missing";
        return false;
    }
    audioPackets_ = 0;
    return true;
}

std::optional<std::vector<uint8_t>> OggOpusSource::nextRawPacket() {
    for (;;) {
        if (streamOpen_) {
            ogg_packet op{};
            const int r = ogg_stream_packetout(&stream_, &op);
            if (r == 1) return std::vector<uint8_t>(op.packet, op.packet + op.bytes);
            // r == -1 marks a gap in the page sequence; the packets after it are fine.
            if (r == -1) continue;
        }
        ogg_page page{};
        const int r = ogg_sync_pageout(&sync_, &page);
        if (r == 1) {
            if (!streamOpen_) {
                ogg_stream_init(&stream_, ogg_page_serialno(&page));
                streamOpen_ = true;
            }
            if (ogg_page_serialno(&page) == stream_.serialno) ogg_stream_pagein(&stream_, &page);
            continue;
        }
        if (r == -1) continue;  // skipped garbage before a page
        char* buffer = ogg_sync_buffer(&sync_, static_cast<long>(kReadChunk));
        const size_t n = std::fread(buffer, 1, kReadChunk, file_);
        if (n == 0) {
            if (std::ferror(file_)) error_ = path_ + ": read error";
            return std::nullopt;
        }
        ogg_sync_wrote(&sync_, static_cast<long>(n));
    }
}

std::optional<SourcePacket> OggOpusSource::next() {
    std::optional<std::vector<uint8_t>> raw = nextRawPacket();
    if (!raw && error_.empty() && loop_ && audioPackets_ > 0) {
        std::rewind(file_);
        resetStream();
        if (!start()) return std::nullopt;
        raw = nextRawPacket();
    }
    if (!raw) return std::nullopt;
    ++audioPackets_;

    SourcePacket packet;
    const int frames =
        raw->empty() ? -1
                     : opus_packet_get_nb_samples(raw->data(), static_cast<opus_int32>(raw->size()), 48000);
    packet.frames = frames > 0 ? static_cast<uint32_t>(frames) : kFallbackFrames;
    packet.payload = std::move(*raw);
    return packet;
}
