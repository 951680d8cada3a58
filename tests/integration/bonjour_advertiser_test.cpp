// DNS-SD against a real avahi-daemon inside the test's sandbox, seen by
// avahi-browse from a second network namespace (the "phone") joined by a veth
// link. Nothing leaves the sandbox.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "bonjour_advertiser.h"
#include "child_process.h"
#include "net_client.h"
#include "services_fixture.h"

namespace {

using namespace servicestest;

const QString kName = QString::fromUtf8("Studio Mac \xE2\x80\x99s");  // with U+2019

struct Service {
    std::string name;
    int port = 0;
    std::set<std::string> txt;
};

// avahi-browse -p writes bytes outside printable ASCII as \DDD (decimal).
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool escaped = s[i] == '\\' && i + 3 < s.size();
        out += escaped ? static_cast<char>(std::stoi(s.substr(i + 1, 3))) : s[i];
        i += escaped ? 3 : 0;
    }
    return out;
}

// The TXT field: "a" "b" ... (the test's entries hold no quotes).
std::set<std::string> parseTxt(const std::string& field) {
    std::set<std::string> out;
    std::istringstream in(field);
    for (std::string item; std::getline(in, item, '"');)
        if (!item.empty() && item != " ") out.insert(unescape(item));
    return out;
}

class BonjourAdvertiserTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(avahi.start());
        ASSERT_TRUE(
            shell(AvahiDaemon::script("start-peer.sh") + " " + shellQuote(peer.path().toStdString())));
        std::ifstream(peer.path().toStdString() + "/peer.pid") >> peerPid;
    }

    // The resolved "_sonvale._tcp" services that the phone (or this computer) sees.
    std::vector<Service> browse(bool fromPeer = true) {
        const std::string out =
            shell((fromPeer ? "nsenter -t " + peerPid + " -n -m " : "") + "avahi-browse -rtp _sonvale._tcp")
                .value_or("");
        std::vector<Service> services;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            std::istringstream fields(line);
            for (std::string field; std::getline(fields, field, ';');)
                f.push_back(field);
            f.resize(std::max<size_t>(f.size(), 10));  // an empty TXT field ends the line
            if (f[0] == "=") services.push_back({unescape(f[3]), std::stoi(f[8]), parseTxt(f[9])});
        }
        return services;
    }
    bool browseUntilNames(const std::set<std::string>& expected, bool fromPeer = true) {
        return waitUntil(
            [&] {
                std::set<std::string> names;
                for (const Service& s : browse(fromPeer))
                    names.insert(s.name);
                return names == expected;
            },
            30s);
    }

    AvahiDaemon avahi;
    QTemporaryDir peer;
    std::string peerPid;
    LogCapture log;
};

// The phone's host already uses the computer's name: the service is renamed and
// keeps that name in its TXT entry, is seen with its port, and is gone after stop.
TEST_F(BonjourAdvertiserTest, ACollisionRenamesTheServiceThePhoneSeesUntilStop) {
    const std::string name = kName.toStdString(), renamed = name + " #2";
    testsupport::ChildProcess onNetwork(
        "nsenter", {"-t", peerPid, "-n", "-m", "avahi-publish", "-s", name, "_sonvale._tcp", "1234"});
    ASSERT_TRUE(browseUntilNames({name}, /*fromPeer=*/false));

    BonjourAdvertiser a;
    a.start(kName);
    EXPECT_FALSE(a.isAdvertising());  // not before the daemon has established it
    ASSERT_TRUE(waitUntil([&] { return a.isAdvertising(); }, 30s));
    EXPECT_EQ(a.serviceName().toStdString(), renamed);
    ASSERT_TRUE(browseUntilNames({name, renamed}));
    for (const Service& s : browse()) {
        if (s.name != renamed) continue;
        EXPECT_EQ(s.port, a.port());
        EXPECT_EQ(s.txt, (std::set<std::string>{"ver=1", "name=" + name}));
    }
    a.stop();
    EXPECT_FALSE(a.isAdvertising());
    EXPECT_TRUE(browseUntilNames({name}));
    EXPECT_TRUE(log.lines().empty());
}

TEST(BonjourAdvertiserWithoutDaemon, LogsOneLineKeepsItsPortAndAdvertisesWhenTheDaemonComes) {
    LogCapture log;
    BonjourAdvertiser a;
    a.start(kName);
    testsupport::TcpClient client;  // the port works regardless, and lets a connection go
    ASSERT_TRUE(client.connect(a.port()));
    EXPECT_TRUE(client.closedByPeer(30s));
    ASSERT_TRUE(waitUntil([&] { return log.lines().size() == 1; })) << log.text();
    EXPECT_EQ(log.lines()[0].rfind("Sonvale: Bonjour advertising failed to start: ", 0), 0u);
    EXPECT_FALSE(a.isAdvertising());

    AvahiDaemon avahi;
    ASSERT_TRUE(avahi.start());
    EXPECT_TRUE(waitUntil([&] { return a.isAdvertising(); }, 30s));
    EXPECT_EQ(log.lines().size(), 1u);
}

}  // namespace
