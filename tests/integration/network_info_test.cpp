// The address and name lookups on real interfaces: inside the sandbox only
// loopback exists until the test adds interfaces to its own namespace.
#include <gtest/gtest.h>

#include <QFile>

#include "network_info.h"
#include "services_fixture.h"

namespace {

using namespace servicestest;

TEST(NetworkInfo, OnlyLoopbackGivesNoAddress) {
    EXPECT_EQ(NetworkInfo::primaryIPv4(), std::nullopt);
}

TEST(NetworkInfo, PicksTheWiredAddressAmongRealInterfaces) {
    // Two veth pairs in this namespace, named like a wired, a wireless and a bridge
    // interface; a second address on the wired one.
    const CommandResult r =
        run("set -e\n"
            "ip link add wlan7 type veth peer name br-peer\n"
            "ip link add eth7 type veth peer name docker7\n"
            "ip addr add 10.99.0.2/24 dev wlan7\n"
            "ip addr add 192.168.99.5/24 dev eth7\n"
            "ip addr add 192.168.98.5/24 dev eth7\n"
            "ip addr add 10.1.0.1/24 dev docker7\n"
            "for i in wlan7 br-peer eth7 docker7; do ip link set $i up; done\n");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(waitUntil([] { return NetworkInfo::ipv4Addresses().size() >= 5; }));
    EXPECT_EQ(NetworkInfo::primaryIPv4(), QStringLiteral("192.168.99.5"));

    ASSERT_EQ(run("ip link set eth7 down").status, 0);  // its peer docker7 loses its carrier too
    EXPECT_TRUE(waitUntil([] { return NetworkInfo::primaryIPv4() == QStringLiteral("10.99.0.2"); }));
}

TEST(NetworkInfo, ComputerNameIsThePrettyNameOrElseTheHostName) {
    QFile file(QStringLiteral("/etc/machine-info"));
    const QString pretty = NetworkInfo::prettyHostname(file.open(QIODevice::ReadOnly) ? file.readAll() : "");
    // The sandbox names its host "sonvale-test".
    EXPECT_EQ(NetworkInfo::computerName(), pretty.isEmpty() ? QStringLiteral("sonvale-test") : pretty);
}

}  // namespace
