#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pcm_source.h"

struct sf_private_tag;
struct soxr;

// Reads a sound file in any format libsndfile knows and turns it into 48 kHz
// stereo: mono is copied to both channels, more than two channels keep the
// first two (front left and right), other rates are converted with libsoxr.
// With loop, the file restarts seamlessly at its end (the resampler runs on).
class SoundFileSource : public PcmSource {
public:
    // nullptr with error filled when the file cannot be opened or has no audio.
    static std::unique_ptr<SoundFileSource> open(const std::string& path, bool loop, std::string& error);
    ~SoundFileSource() override;
    SoundFileSource(const SoundFileSource&) = delete;
    SoundFileSource& operator=(const SoundFileSource&) = delete;

    long read(float* out, size_t frames) override;
    std::string errorText() const override { return error_; }

private:
    SoundFileSource(sf_private_tag* file, int channels, bool loop);
    // Reads up to frames of the file as stereo into input_; 0 at its end, -1 on error.
    long readStereo(size_t frames);

    sf_private_tag* file_;
    soxr* resampler_ = nullptr;  // null when the file is already at 48 kHz
    int channels_;
    bool loop_;
    bool inputDone_ = false;
    std::vector<float> raw_;    // one block as the file stores it
    std::vector<float> input_;  // stereo frames not yet handed to the resampler
    size_t inputOffset_ = 0;    // frames of input_ already consumed
    std::string error_;
};
