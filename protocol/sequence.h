#pragma once

#include <cstdint>

// Sequence numbers wrap modulo 2^32: a is earlier than b when a - b, read as a
// signed 32-bit number, is negative. Exactly 2^31 apart counts as earlier.
inline constexpr bool seqIsEarlier(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

// How far b lies ahead of a, modulo 2^32.
inline constexpr uint32_t seqDistance(uint32_t a, uint32_t b) {
    return b - a;
}
