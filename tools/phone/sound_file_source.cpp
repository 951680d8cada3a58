#include "sound_file_source.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cstring>

namespace {
constexpr int kRate = 48000;
constexpr size_t kBlockFrames = 4096;
}  // namespace

std::unique_ptr<SoundFileSource> SoundFileSource::open(const std::string& path, bool loop,
                                                       std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = path + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    if (info.channels < 1 || info.samplerate < 1 || info.frames == 0) {
        sf_close(file);
        error = path + ": holds no audio";
        return nullptr;
    }
    std::unique_ptr<SoundFileSource> source(new SoundFileSource(file, info.channels, loop));
    if (info.samplerate != kRate) {
        soxr_error_t soxrError = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        source->resampler_ = soxr_create(info.samplerate, kRate, 2, &soxrError, &io, &quality, nullptr);
        if (soxrError != nullptr) {
            error = std::string("cannot convert the sample rate: ") + soxrError;
            return nullptr;
        }
    }
    return source;
}

SoundFileSource::SoundFileSource(sf_private_tag* file, int channels, bool loop)
    : file_(file), channels_(channels), loop_(loop) {}

SoundFileSource::~SoundFileSource() {
    if (resampler_ != nullptr) soxr_delete(resampler_);
    sf_close(file_);
}

long SoundFileSource::readStereo(size_t frames) {
    raw_.resize(frames * static_cast<size_t>(channels_));
    sf_count_t got = sf_readf_float(file_, raw_.data(), static_cast<sf_count_t>(frames));
    if (got == 0 && loop_) {
        if (sf_seek(file_, 0, SEEK_SET) < 0) {
            error_ = "cannot rewind the sound file";
            return -1;
        }
        got = sf_readf_float(file_, raw_.data(), static_cast<sf_count_t>(frames));
    }
    if (got == 0 && sf_error(file_) != SF_ERR_NO_ERROR) {
        error_ = std::string("reading the sound file failed: ") + sf_strerror(file_);
        return -1;
    }
    const auto n = static_cast<size_t>(got);
    input_.resize(2 * n);
    const auto ch = static_cast<size_t>(channels_);
    for (size_t i = 0; i < n; ++i) {
        input_[2 * i] = raw_[i * ch];
        input_[2 * i + 1] = raw_[i * ch + (ch > 1 ? 1 : 0)];
    }
    inputOffset_ = 0;
    return static_cast<long>(n);
}

long SoundFileSource::read(float* out, size_t frames) {
    size_t filled = 0;
    while (filled < frames) {
        if (inputOffset_ * 2 >= input_.size() && !inputDone_) {
            const long got = readStereo(kBlockFrames);
            if (got < 0) return -1;
            if (got == 0) inputDone_ = true;
        }
        const size_t pending = input_.size() / 2 - inputOffset_;
        if (resampler_ == nullptr) {
            if (pending == 0) break;
            const size_t n = std::min(pending, frames - filled);
            std::memcpy(out + 2 * filled, input_.data() + 2 * inputOffset_, n * 2 * sizeof(float));
            inputOffset_ += n;
            filled += n;
            continue;
        }
        // At the end of the input, a null input flushes what the resampler holds.
        size_t used = 0;
        size_t made = 0;
        const float* in = pending > 0 ? input_.data() + 2 * inputOffset_ : nullptr;
        const soxr_error_t e =
            soxr_process(resampler_, in, pending, &used, out + 2 * filled, frames - filled, &made);
        if (e != nullptr) {
            error_ = std::string("sample rate conversion failed: ") + e;
            return -1;
        }
        inputOffset_ += used;
        filled += made;
        if (inputDone_ && pending == 0 && made == 0) break;
    }
    return static_cast<long>(filled);
}
