#pragma once

#include <cstddef>
#include <cstdint>

#include "sv_ring.h"

// The ring's consuming reader through the ring's own C interface: every read
// moves the read index, as the virtual microphone's reads do. There is room for
// one consuming reader; a second one would steal frames from the first.
// Owns its attachment.
class RingConsumer {
public:
    RingConsumer() = default;
    ~RingConsumer() { close(); }
    RingConsumer(const RingConsumer&) = delete;
    RingConsumer& operator=(const RingConsumer&) = delete;

    // False while no engine has created the ring (or it is still being sized).
    bool open();
    void close();
    bool isOpen() const { return handle_.base != nullptr; }
    bool replaced() const;

    uint64_t writeIndex() const;
    uint64_t readIndex() const;
    // Reads up to count frames (what is waiting, skipping ahead when lapped);
    // returns how many carried audio. out must hold count frames.
    size_t read(float* out, size_t count);

private:
    SVRingHandle handle_{-1, nullptr};
};
