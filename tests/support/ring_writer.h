// The ring's writer played by a test, in place of the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sv_ring.h"

namespace testsupport {

// Creates a fresh ring (SVRing_OpenWriter: any earlier one is replaced) and
// closes it when destroyed; the object stays, as the engine leaves it.
class RingWriter {
public:
    RingWriter() { open_ = SVRing_OpenWriter(&h_); }
    ~RingWriter() { SVRing_Close(&h_); }
    RingWriter(const RingWriter&) = delete;
    RingWriter& operator=(const RingWriter&) = delete;

    bool isOpen() const { return open_; }
    // Interleaved stereo frames; returns how many frames were written.
    size_t write(const std::vector<float>& frames) {
        return SVRing_Write(&h_, frames.data(), frames.size() / 2);
    }
    // count frames of a constant value on both channels.
    size_t writeConstant(float value, size_t count) { return write(std::vector<float>(2 * count, value)); }
    SVRingHandle& handle() { return h_; }

private:
    SVRingHandle h_{-1, nullptr};
    bool open_ = false;
};

}  // namespace testsupport
