#pragma once

#include <cstdint>

// shm_open(name, O_RDONLY, 0): a descriptor, or -1 with errno set.
extern "C" int sonvale_shm_open_ro(const char* name);

// A look-only attachment to the shared audio ring "/sonvale_ring": mapped
// read-only, so it can never write to the ring; it reads writeIndex and the
// frames and never readIndex. Owns the descriptor and the mapping.
// A writer that starts anew replaces the object; the old mapping stays valid but
// its writeIndex stops moving, and replaced() tells.
class RingView {
public:
    RingView() = default;
    ~RingView();
    RingView(const RingView&) = delete;
    RingView& operator=(const RingView&) = delete;

    // Maps the ring. False when it does not exist (yet), is smaller than the ring
    // layout (a writer still creating it) or cannot be mapped; nothing is kept then.
    bool open();
    void close();
    bool isOpen() const { return base_ != nullptr; }

    // The mapped object was removed from the name (a new writer made a fresh ring).
    bool replaced() const;

    // Frames ever written (acquire load); 0 when not open.
    uint64_t writeIndex() const;
    // The 48000 frame slots, two floats each; frame i lives in slot i % 48000.
    // Null when not open.
    const float* frames() const;

private:
    int fd_ = -1;
    const void* base_ = nullptr;
};
