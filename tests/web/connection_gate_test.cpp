#include "connection_gate.h"

#include <gtest/gtest.h>

TEST(ConnectionGate, HoldsEachAddressAndTheWholeToTheirCaps) {
    ConnectionGate gate;
    for (int i = 0; i < ConnectionGate::kPerAddress; ++i)
        ASSERT_TRUE(gate.admit(1));
    EXPECT_FALSE(gate.admit(1));
    EXPECT_TRUE(gate.admit(2));  // another address still gets in
    gate.release(1);
    EXPECT_TRUE(gate.admit(1));

    for (uint32_t address = 3; gate.open() < ConnectionGate::kTotal; ++address)
        ASSERT_TRUE(gate.admit(address));
    EXPECT_FALSE(gate.admit(1000));  // a fresh address, but the gateway is full
    gate.release(2);
    EXPECT_TRUE(gate.admit(1000));

    EXPECT_EQ(gate.takeRefused(), 2);
    EXPECT_EQ(gate.takeRefused(), 0);
}
