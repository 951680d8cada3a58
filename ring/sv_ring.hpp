// C++ ownership of one attachment to the shared audio ring.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sv_ring.h"

namespace svring {

// Owns one SVRingHandle and closes it when destroyed. A look-only attachment
// (Access::look) never moves readIndex; a consuming one (Access::consume) is
// the ring's single consuming reader. Not thread-safe: one owner thread.
class Ring {
public:
    enum class Access { look, consume };

    Ring() = default;
    ~Ring() { close(); }
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    // Closes any earlier attachment, then attaches. False while there is no ring.
    bool open(Access access) {
        close();
        return access == Access::look ? SVRing_OpenView(&h_) : SVRing_OpenReader(&h_);
    }
    void close() { SVRing_Close(&h_); }
    bool isOpen() const { return h_.base != nullptr; }
    // The attached object was replaced by a new writer's ring (see SVRing_Replaced).
    bool replaced() const { return SVRing_Replaced(&h_); }

    uint64_t writeIndex() const { return SVRing_WriteIndex(&h_); }
    uint64_t readIndex() const { return SVRing_ReadIndex(&h_); }
    size_t copyFrames(uint64_t from, float* out, size_t count) const {
        return SVRing_CopyFrames(&h_, from, out, count);
    }
    uint64_t copyNewest(float* out, size_t count) const { return SVRing_CopyNewest(&h_, out, count); }
    // Consuming attachments only: see SVRing_Read.
    size_t read(float* out, size_t count) { return SVRing_Read(&h_, out, count); }

private:
    SVRingHandle h_{-1, nullptr};
};

}  // namespace svring
