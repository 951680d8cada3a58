#include "pin.h"

#include <QRandomGenerator>

#include <cassert>

namespace Pin {

uint32_t uniformBelow(uint32_t bound, const Random& random) {
    assert(bound > 0);
    // 2^32 mod bound, computed in 32 bits.
    const uint32_t threshold = (0u - bound) % bound;
    for (;;) {
        const uint32_t r = random();
        if (r >= threshold) return r % bound;
    }
}

QString format(uint32_t value) {
    assert(value < kRange);
    return QStringLiteral("%1").arg(value, 4, 10, QLatin1Char('0'));
}

QString generate(const Random& random) {
    if (random) return format(uniformBelow(kRange, random));
    return format(uniformBelow(kRange, [] { return QRandomGenerator::system()->generate(); }));
}

}  // namespace Pin
