#include <gtest/gtest.h>

#include <vector>

#include "pin.h"

namespace {

// Hands out the given values in order.
Pin::Random sequence(std::vector<uint32_t> values, size_t* calls) {
    return [values = std::move(values), calls]() mutable { return values[(*calls)++]; };
}

TEST(Pin, DrawsThatWouldFavourSmallValuesAreDrawnAgain) {
    // 2^32 mod 10000 = 7296: raw values 0..7295 would make 0..7295 more likely.
    size_t calls = 0;
    EXPECT_EQ(Pin::uniformBelow(10000, sequence({0, 7295, 7296}, &calls)), 7296u);
    EXPECT_EQ(calls, 3u);
    calls = 0;
    EXPECT_EQ(Pin::uniformBelow(10000, sequence({0xFFFFFFFFu}, &calls)), 7295u);
    EXPECT_EQ(calls, 1u);
}

TEST(Pin, AlwaysFourDigitsWithLeadingZeros) {
    size_t calls = 0;
    EXPECT_EQ(Pin::generate(sequence({10042}, &calls)), QStringLiteral("0042"));
    EXPECT_EQ(Pin::format(9999), QStringLiteral("9999"));
}

}  // namespace
