#include <gtest/gtest.h>
#include <net/if.h>

#include "network_info.h"

namespace {

using NetworkInfo::InterfaceAddress;

constexpr unsigned kUp = IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_MULTICAST;
constexpr unsigned kLoop = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;

InterfaceAddress entry(const char* name, const char* address, unsigned flags = kUp) {
    return {QString::fromUtf8(name), flags, QString::fromUtf8(address)};
}

std::string choose(const std::vector<InterfaceAddress>& entries, const char* route = "") {
    const std::optional<QString> a = NetworkInfo::chooseIPv4(entries, QString::fromUtf8(route));
    return a ? a->toStdString() : "none";
}

TEST(NetworkInfoChoice, PreferenceOrder) {
    const auto lo = entry("lo", "127.0.0.1", kLoop);
    // Wired before wireless, whatever the address text.
    EXPECT_EQ(choose({lo, entry("wlp2s0", "10.0.0.9"), entry("enp3s0", "192.168.1.20")}), "192.168.1.20");
    // The interface of the default route beats both.
    EXPECT_EQ(choose({entry("eth0", "192.168.1.20"), entry("wlan0", "10.0.0.9")}, "wlan0"), "10.0.0.9");
    // Wireless before others.
    EXPECT_EQ(choose({entry("tun0", "10.8.0.2"), entry("wlan0", "192.168.5.5")}), "192.168.5.5");
    // Two wired interfaces: the first listed.
    EXPECT_EQ(choose({entry("eth1", "192.168.2.2"), entry("eth0", "192.168.1.1")}), "192.168.2.2");
    // Only others: the smallest address text, character by character.
    EXPECT_EQ(choose({entry("tun0", "172.3.0.1"), entry("wg0", "172.20.1.5")}), "172.20.1.5");
}

TEST(NetworkInfoChoice, SkipsInterfacesThatAreDownLoopbackAndBridgesWhileOthersExist) {
    const auto lo = entry("lo", "127.0.0.1", kLoop);
    EXPECT_EQ(choose({lo}), "none");
    EXPECT_EQ(choose({lo, entry("eth0", "192.168.1.20", IFF_UP), entry("wlan0", "10.0.0.9")}), "10.0.0.9");
    EXPECT_EQ(choose({lo, entry("eth0", "192.168.1.20", IFF_RUNNING)}), "none");
    // A non-loopback interface flagged as loopback is still loopback.
    EXPECT_EQ(choose({entry("eth0", "192.168.1.20", kUp | IFF_LOOPBACK)}), "none");
    // Bridges count only when nothing else has an address, also against the default route.
    EXPECT_EQ(choose({entry("docker0", "172.17.0.1"), entry("tun0", "10.8.0.2")}, "docker0"), "10.8.0.2");
    EXPECT_EQ(choose({lo, entry("virbr0", "192.168.122.1"), entry("br-1a2b", "172.18.0.1"),
                      entry("veth12", "169.254.3.3"), entry("wlan0", "192.168.7.7")}),
              "192.168.7.7");
    EXPECT_EQ(choose({lo, entry("docker0", "172.17.0.1"), entry("virbr0", "192.168.122.1")}), "172.17.0.1");
}

TEST(NetworkInfoRoute, TheDefaultRouteWithTheLowestMetric) {
    const QByteArray table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "tun0\t00000000\t00000000\t0000\t0\t0\t1\t00000000\t0\t0\t0\n";  // not up
    EXPECT_EQ(NetworkInfo::defaultRouteInterface(table), QStringLiteral("eth0"));
    EXPECT_EQ(NetworkInfo::defaultRouteInterface(table.left(table.indexOf("wlan0"))), QString());
    EXPECT_EQ(NetworkInfo::defaultRouteInterface(""), QString());
}

TEST(NetworkInfoName, PrettyHostnameFromMachineInfo) {
    const std::pair<const char*, const char*> cases[] = {
        // /etc/machine-info, the name in it
        {"PRETTY_HOSTNAME=\"Studio Mac\xE2\x80\x99s\"\n", "Studio Mac\xE2\x80\x99s"},
        {"PRETTY_HOSTNAME=Lennart\\'s\\ Laptop\n", "Lennart's Laptop"},
        {"PRETTY_HOSTNAME='Studio \"A\"'\n", "Studio \"A\""},
        {"PRETTY_HOSTNAME=\"say \\\"hi\\\" \\\\o/\"", "say \"hi\" \\o/"},
        {"ICON_NAME=computer-laptop\nCHASSIS=laptop\n", ""},
    };
    for (const auto& [text, pretty] : cases)
        EXPECT_EQ(NetworkInfo::prettyHostname(text).toStdString(), pretty) << text;
}

}  // namespace
