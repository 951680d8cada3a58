#include "wav_writer.h"

#include <sndfile.h>

WavWriter::~WavWriter() {
    if (file_ != nullptr) sf_close(file_);
}

bool WavWriter::open(const std::string& path, std::string& error) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) {
        error = path + ": " + sf_strerror(nullptr);
        return false;
    }
    sf_command(file_, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    path_ = path;
    return true;
}

bool WavWriter::write(const float* frames, size_t count, std::string& error) {
    if (count == 0) return true;
    const sf_count_t n = sf_writef_float(file_, frames, static_cast<sf_count_t>(count));
    if (n != static_cast<sf_count_t>(count)) {
        error = path_ + ": " + sf_strerror(file_);
        return false;
    }
    frames_ += count;
    return true;
}

bool WavWriter::close(std::string& error) {
    if (file_ == nullptr) return true;
    const int rc = sf_close(file_);
    file_ = nullptr;
    if (rc != 0) {
        error = path_ + ": " + sf_error_number(rc);
        return false;
    }
    return true;
}
