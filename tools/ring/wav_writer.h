#pragma once

#include <cstdint>
#include <string>

struct sf_private_tag;

// Writes 48 kHz stereo 32-bit float WAV through libsndfile. The header is kept
// up to date after every write, so a recording that is cut short stays readable.
// Owns the file.
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, std::string& error);
    bool write(const float* frames, size_t count, std::string& error);
    bool close(std::string& error);
    uint64_t framesWritten() const { return frames_; }

private:
    sf_private_tag* file_ = nullptr;
    std::string path_;
    uint64_t frames_ = 0;
};
