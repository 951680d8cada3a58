#pragma once

#include <QString>

#include <cstdint>
#include <functional>

// The four-digit pairing PIN: drawn once per application run.
namespace Pin {

// Source of uniformly distributed 32-bit values.
using Random = std::function<uint32_t()>;

inline constexpr uint32_t kRange = 10000;

// A value uniform in [0, bound), bound > 0: draws whose remainder would favour
// small results (the lowest 2^32 mod bound values) are drawn again.
uint32_t uniformBelow(uint32_t bound, const Random& random);

// "%04d": always four characters, leading zeros kept. value < 10000.
QString format(uint32_t value);

// A fresh PIN; random defaults to the system's cryptographic generator.
QString generate(const Random& random = {});

}  // namespace Pin
