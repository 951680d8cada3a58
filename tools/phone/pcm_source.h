#pragma once

#include <cstddef>
#include <string>

// A source of 48 kHz interleaved stereo float frames.
class PcmSource {
public:
    virtual ~PcmSource() = default;

    // Fills up to frames frames; returns how many were filled, 0 at the end of the
    // source, or -1 on a read error (errorText() then says why).
    virtual long read(float* out, size_t frames) = 0;
    virtual std::string errorText() const { return {}; }
};
