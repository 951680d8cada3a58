#pragma once

#include <sys/types.h>

#include <cstdint>

#include "frame_source.h"
#include "sv_ring.h"

// The ring's consuming reader. Owns one attachment; follows engine restarts,
// which replace the shared-memory object by a new one with the same name.
class RingReader : public FrameSource {
public:
    enum class Change {
        none,
        attached,    // there was no ring, now there is
        reattached,  // a new engine replaced the ring
    };

    RingReader() = default;
    ~RingReader() override;
    RingReader(const RingReader&) = delete;
    RingReader& operator=(const RingReader&) = delete;

    // Attaches when no ring is mapped yet, or reopens the name when the mapped
    // object is no longer the one the name refers to (or its write index went
    // backwards). Cheap enough to call a few times a second.
    Change refresh();
    bool attached() const { return handle_.base != nullptr; }

    uint64_t held() const override;
    size_t read(float* out, size_t count) override;

private:
    bool open();
    uint64_t writeIndex() const;

    SVRingHandle handle_{-1, nullptr};
    dev_t device_ = 0;
    ino_t inode_ = 0;
    uint64_t lastWriteIndex_ = 0;
};
