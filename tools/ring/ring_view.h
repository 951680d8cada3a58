#pragma once

#include <cstddef>
#include <cstdint>

// A look-only attachment to the ring: maps it read-only and never stores
// anything, so it cannot disturb the engine or the consuming reader.
// Owns its descriptor and mapping.
class RingView {
public:
    RingView() = default;
    ~RingView() { close(); }
    RingView(const RingView&) = delete;
    RingView& operator=(const RingView&) = delete;

    // False while no engine has created the ring (or it is still being sized).
    bool open();
    void close();
    bool isOpen() const { return base_ != nullptr; }

    // True when the mapped object is no longer the ring: a new engine replaced
    // it (or it was removed). Its write index will never move again.
    bool replaced() const;

    uint64_t writeIndex() const;
    uint64_t readIndex() const;
    // Copies count frames starting at running frame index from (count at most
    // one ring's worth) into out, interleaved stereo.
    void copyFrames(uint64_t from, size_t count, float* out) const;

private:
    int fd_ = -1;
    const unsigned char* base_ = nullptr;
};

// True when the descriptor's object has been unlinked from its name.
bool ringObjectUnlinked(int fd);
// True when the descriptor's object has the ring's full size, so every byte of
// a mapping of it can be touched (a writer sizes the object right after creating it).
bool ringObjectComplete(int fd);
