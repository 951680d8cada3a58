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

    // Frames numbered from first: left = n, right = -n.
    static std::vector<float> numbered(uint64_t first, size_t count) {
        std::vector<float> f(count * 2);
        for (size_t i = 0; i < count; ++i)
            f[2 * i + 1] = -(f[2 * i] = static_cast<float>(first + i));
        return f;
    }

private:
    SVRingHandle h_{-1, nullptr};
    bool open_ = false;
};

}  // namespace testsupport
