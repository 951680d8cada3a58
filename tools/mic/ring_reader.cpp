#include "ring_reader.h"

#include <algorithm>

RingReader::Change RingReader::refresh() {
    if (ring_ && !ring_->replaced()) return Change::none;
    auto fresh = std::make_unique<svring::Ring>();
    if (!fresh->open(svring::Ring::Access::consume)) return Change::none;
    const Change change = ring_ ? Change::reattached : Change::attached;
    ring_ = std::move(fresh);
    return change;
}

uint64_t RingReader::held() const {
    if (!ring_) return 0;
    const uint64_t r = ring_->readIndex();
    const uint64_t w = ring_->writeIndex();
    return w > r ? std::min<uint64_t>(w - r, SVRING_FRAMES) : 0;
}

size_t RingReader::read(float* out, size_t count) {
    if (ring_) return ring_->read(out, count);
    std::fill(out, out + 2 * count, 0.0f);
    return 0;
}
