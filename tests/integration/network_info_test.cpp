// The address lookup on real interfaces: inside the sandbox only loopback exists
// until the test adds interfaces to its own namespace.
#include <gtest/gtest.h>

#include "network_info.h"
#include "services_fixture.h"

namespace {

using namespace servicestest;

TEST(NetworkInfo, PicksTheWiredAddressAmongRealInterfacesAndNoneWithLoopbackAlone) {
    EXPECT_EQ(NetworkInfo::primaryIPv4(), std::nullopt);
    // Two veth pairs named like a wireless, a wired and a bridge interface.
    ASSERT_TRUE(
        shell("set -e\n"
              "ip link add wlan7 type veth peer name br-peer\n"
              "ip link add eth7 type veth peer name docker7\n"
              "ip addr add 10.99.0.2/24 dev wlan7\n"
              "ip addr add 192.168.99.5/24 dev eth7\n"
              "ip addr add 10.1.0.1/24 dev docker7\n"
              "for i in wlan7 br-peer eth7 docker7; do ip link set $i up; done\n"));
    EXPECT_TRUE(waitUntil([] { return NetworkInfo::primaryIPv4() == QStringLiteral("192.168.99.5"); }));
    ASSERT_TRUE(shell("ip link set eth7 down"));  // its peer docker7 loses its carrier too
    EXPECT_TRUE(waitUntil([] { return NetworkInfo::primaryIPv4() == QStringLiteral("10.99.0.2"); }));
}

}  // namespace
