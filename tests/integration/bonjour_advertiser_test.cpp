// DNS-SD against a real avahi-daemon inside the test's sandbox, seen by
// avahi-browse locally and from a second network namespace (the "phone") joined
// by a veth link. Nothing leaves the sandbox.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include <algorithm>
#include <set>

#include "bonjour_advertiser.h"
#include "net_client.h"
#include "services_fixture.h"

namespace {

using namespace servicestest;

const QString kName = QString::fromUtf8("Studio Mac \xE2\x80\x99s");  // with U+2019

struct Service {
    std::string interfaceName;
    std::string name;
    std::string address;
    int port = 0;
    std::set<std::string> txt;
};

// avahi-browse -p writes bytes outside printable ASCII as \DDD (decimal) and
// escapes other special characters with a backslash.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
        } else if (i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
                   std::isdigit(static_cast<unsigned char>(s[i + 2])) &&
                   std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 3)));
            i += 3;
        } else {
            out += s[++i];
        }
    }
    return out;
}

std::set<std::string> parseTxt(const std::string& field) {
    std::set<std::string> out;
    std::string current;
    bool inQuotes = false;
    for (size_t i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (!inQuotes) {
            if (c == '"') inQuotes = true;
        } else if (c == '\\' && i + 1 < field.size()) {
            current += c;
            current += field[++i];
        } else if (c == '"') {
            out.insert(unescape(current));
            current.clear();
            inQuotes = false;
        } else {
            current += c;
        }
    }
    return out;
}

class BonjourAdvertiserTest : public ::testing::Test {
protected:
    void startDaemonAndPeer() {
        ASSERT_TRUE(avahi.start());
        const CommandResult r =
            run(scriptPath("start-peer.sh") + " " + shellQuote(peerDir.path().toStdString()));
        ASSERT_EQ(r.status, 0) << r.err;
        const CommandResult pid = run("cat " + shellQuote(peerDir.path().toStdString() + "/peer.pid"));
        peerPid = pid.out.substr(0, pid.out.find('\n'));
    }

    // The resolved "_sonvale._tcp" services that avahi-browse sees, here or in the peer.
    std::vector<Service> browse(bool fromPeer) {
        std::string command = "avahi-browse -rtp _sonvale._tcp";
        if (fromPeer) command = "nsenter -t " + peerPid + " -n -m " + command;
        const CommandResult r = run(command, 20s);
        std::vector<Service> out;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("=;", 0) != 0) continue;
            std::vector<std::string> f;
            for (size_t at = 0;;) {
                const size_t semicolon = line.find(';', at);
                f.push_back(line.substr(at, semicolon - at));
                if (semicolon == std::string::npos) break;
                at = semicolon + 1;
            }
            if (f.size() < 10) continue;
            out.push_back({f[1], unescape(f[3]), f[7], std::atoi(f[8].c_str()), parseTxt(f[9])});
        }
        return out;
    }

    static std::set<std::string> names(const std::vector<Service>& services) {
        std::set<std::string> out;
        for (const Service& s : services)
            out.insert(s.name);
        return out;
    }

    // Browses until the set of service names equals expected.
    bool browseUntilNames(const std::set<std::string>& expected, bool fromPeer,
                          std::chrono::seconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (names(browse(fromPeer)) == expected) return true;
            spin(100ms);
        }
        return false;
    }

    AvahiDaemon avahi;
    QTemporaryDir peerDir;
    std::string peerPid;
    LogCapture log;
};

TEST_F(BonjourAdvertiserTest, ThePhoneSeesTheServiceItsPortAndBothTxtEntries) {
    startDaemonAndPeer();
    BonjourAdvertiser a;
    QSignalSpy advertising(&a, &BonjourAdvertiser::isAdvertisingChanged);
    const auto t0 = std::chrono::steady_clock::now();
    a.start(kName);
    EXPECT_FALSE(a.isAdvertising());  // not before the daemon has established it
    ASSERT_NE(a.port(), 0);
    ASSERT_TRUE(waitUntil([&] { return a.isAdvertising(); }));
    const auto ms = [&] {
        return int(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                .count());
    };
    RecordProperty("established_ms", ms());
    EXPECT_EQ(a.serviceName(), kName);

    std::vector<Service> seen;
    ASSERT_TRUE(waitUntil(
        [&] {
            seen = browse(/*fromPeer=*/true);
            return !seen.empty();
        },
        20s));
    RecordProperty("seen_by_phone_ms", ms());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].interfaceName, "vphone");
    EXPECT_EQ(seen[0].name, kName.toStdString());
    EXPECT_EQ(seen[0].address, "10.77.0.1");
    EXPECT_EQ(seen[0].port, a.port());
    EXPECT_EQ(seen[0].txt, (std::set<std::string>{"ver=1", "name=" + kName.toStdString()}));

    // The phone can connect to the advertised port (and is let go after 3 s).
    const CommandResult tcp = run("nsenter -t " + peerPid + " -n bash -c 'exec 3<>/dev/tcp/10.77.0.1/" +
                                      std::to_string(a.port()) + " && cat <&3'",
                                  20s);
    EXPECT_EQ(tcp.status, 0) << tcp.err;
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(BonjourAdvertiserTest, ASecondStartReplacesTheFirstAndStopWithdraws) {
    startDaemonAndPeer();
    BonjourAdvertiser a;
    a.start(QStringLiteral("First Name"));
    ASSERT_TRUE(waitUntil([&] { return a.isAdvertising(); }));
    ASSERT_TRUE(browseUntilNames({"First Name"}, true));

    a.start(QStringLiteral("Second Name"));
    EXPECT_FALSE(a.isAdvertising());
    ASSERT_TRUE(waitUntil([&] { return a.isAdvertising(); }));
    EXPECT_EQ(a.serviceName(), QStringLiteral("Second Name"));
    EXPECT_TRUE(browseUntilNames({"Second Name"}, true));

    QSignalSpy advertising(&a, &BonjourAdvertiser::isAdvertisingChanged);
    a.stop();
    EXPECT_FALSE(a.isAdvertising());
    EXPECT_EQ(advertising.size(), 1);  // at once, on the caller's thread
    EXPECT_EQ(a.port(), 0);
    EXPECT_TRUE(browseUntilNames({}, true));
    spin(300ms);
    EXPECT_FALSE(a.isAdvertising());  // no late report of the old advertisement
    a.stop();                         // harmless
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(BonjourAdvertiserTest, ANameCollisionRenamesTheService) {
    startDaemonAndPeer();
    // The phone's host already uses the name on the network ...
    QProcess onNetwork;
    onNetwork.start(QStringLiteral("nsenter"),
                    {QStringLiteral("-t"), QString::fromStdString(peerPid), QStringLiteral("-n"),
                     QStringLiteral("-m"), QStringLiteral("avahi-publish"), QStringLiteral("-s"),
                     QStringLiteral("Desk"), QStringLiteral("_sonvale._tcp"), QStringLiteral("1234")});
    // ... and another program on this computer uses another one.
    QProcess local;
    local.start(QStringLiteral("avahi-publish"), {QStringLiteral("-s"), QStringLiteral("Studio"),
                                                  QStringLiteral("_sonvale._tcp"), QStringLiteral("1235")});
    ASSERT_TRUE(browseUntilNames({"Desk", "Studio"}, false));

    BonjourAdvertiser network;
    network.start(QStringLiteral("Desk"));
    BonjourAdvertiser here;
    here.start(QStringLiteral("Studio"));
    ASSERT_TRUE(waitUntil([&] { return network.isAdvertising() && here.isAdvertising(); }, 20s));
    EXPECT_EQ(network.serviceName(), QStringLiteral("Desk #2"));
    EXPECT_EQ(here.serviceName(), QStringLiteral("Studio #2"));
    ASSERT_TRUE(browseUntilNames({"Desk", "Desk #2", "Studio", "Studio #2"}, true));
    for (const Service& s : browse(true)) {
        if (s.name == "Desk #2") {
            EXPECT_EQ(s.txt, (std::set<std::string>{"ver=1", "name=Desk"}));
        } else if (s.name == "Studio #2") {
            EXPECT_EQ(s.txt, (std::set<std::string>{"ver=1", "name=Studio"}));
        }
    }
    onNetwork.kill();
    local.kill();
    onNetwork.waitForFinished();
    local.waitForFinished();
}

TEST_F(BonjourAdvertiserTest, NoDaemonLogsOneLineThenAdvertisesWhenItAppears) {
    // Not even a system bus at first.
    BonjourAdvertiser a;
    a.start(kName);
    EXPECT_NE(a.port(), 0);  // the application carries on
    spin(2500ms);            // silent retries meanwhile
    ASSERT_EQ(log.lines().size(), 1u) << log.text();
    EXPECT_EQ(log.lines()[0].rfind("Sonvale: Bonjour advertising failed to start: ", 0), 0u);
    EXPECT_FALSE(a.isAdvertising());

    ASSERT_TRUE(avahi.start());
    EXPECT_TRUE(waitUntil([&] { return a.isAdvertising(); }, 10s));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(BonjourAdvertiserTest, ABusWithoutDaemonSaysDaemonNotRunning) {
    ASSERT_TRUE(avahi.start());
    avahi.stop();  // the bus stays
    BonjourAdvertiser a;
    a.start(kName);
    spin(500ms);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Sonvale: Bonjour advertising failed to start: Daemon not running"});
    ASSERT_TRUE(avahi.start());
    EXPECT_TRUE(waitUntil([&] { return a.isAdvertising(); }, 10s));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(BonjourAdvertiserTest, ADaemonRestartIsFollowedByANewAdvertisement) {
    startDaemonAndPeer();
    BonjourAdvertiser a;
    a.start(kName);
    ASSERT_TRUE(waitUntil([&] { return a.isAdvertising(); }));

    avahi.stop();
    ASSERT_TRUE(waitUntil([&] { return !a.isAdvertising(); }));
    EXPECT_TRUE(waitUntil([&] { return log.lines().size() == 1; }));
    EXPECT_EQ(log.lines()[0].rfind("Sonvale: Bonjour advertising interrupted: ", 0), 0u) << log.text();

    ASSERT_TRUE(avahi.start());
    ASSERT_TRUE(waitUntil([&] { return a.isAdvertising(); }, 15s));
    EXPECT_TRUE(browseUntilNames({kName.toStdString()}, true));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(BonjourAdvertiserPort, ConnectionsAreAcceptedAndClosedAfterThreeSeconds) {
    LogCapture log;  // no daemon here: one line, and the port still works
    BonjourAdvertiser a;
    a.start(QStringLiteral("Port"));
    ASSERT_NE(a.port(), 0);
    testsupport::TcpClient quiet, talking;
    ASSERT_TRUE(quiet.connect(a.port()));
    ASSERT_TRUE(talking.connect(a.port()));
    ASSERT_TRUE(talking.send("hello\n"));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(quiet.closedByPeer(10s));
    EXPECT_TRUE(talking.closedByPeer(10s));
    const auto held = std::chrono::steady_clock::now() - t0;
    RecordProperty("held_ms", int(std::chrono::duration_cast<std::chrono::milliseconds>(held).count()));
    EXPECT_GE(held, 2500ms);
    EXPECT_LT(held, 6s);

    // After stop() the port is gone.
    const uint16_t port = a.port();
    a.stop();
    testsupport::TcpClient late;
    EXPECT_FALSE(late.connect(port));
}

}  // namespace
