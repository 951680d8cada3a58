// The control server's defences while a PIN is set: PIN guessing, idle
// connections holding every slot, and audio from hosts that never paired.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <thread>

#include "control_server.h"
#include "hello_guard.h"
#include "net_client.h"

namespace {

using namespace std::chrono_literals;
using testsupport::TcpClient;
using TimePoint = std::chrono::steady_clock::time_point;

uint32_t address(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

TEST(HelloGuard, FiveFailuresWithinTheWindowBlockUntilItPassesWithoutFailure) {
    HelloGuard guard;
    TimePoint t{};
    t += 1h;
    const uint32_t a = address("10.0.0.5");
    for (int i = 0; i < 4; ++i)
        guard.recordFailure(a, t + i * 10s);
    EXPECT_FALSE(guard.isBlocked(a, t + 40s));
    guard.recordFailure(a, t + 50s);
    EXPECT_TRUE(guard.isBlocked(a, t + 50s));
    EXPECT_FALSE(guard.isBlocked(address("10.0.0.6"), t + 50s));
    EXPECT_TRUE(guard.isBlocked(a, t + 109s));
    EXPECT_FALSE(guard.isBlocked(a, t + 110s));
    // Failures spread wider than the window never block.
    HelloGuard slow;
    for (int i = 0; i < 20; ++i)
        slow.recordFailure(a, t + i * 61s);
    EXPECT_FALSE(slow.isBlocked(a, t + 19 * 61s));
}

TEST(HelloGuard, StaleRecordsArePruned) {
    HelloGuard guard;
    TimePoint t{};
    t += 1h;
    for (uint32_t i = 0; i < 1000; ++i)
        guard.recordFailure(i, t);
    for (uint32_t i = 0; i < 1000; ++i)
        guard.recordFailure(100000 + i, t + 2min);
    EXPECT_LE(guard.trackedAddresses(), 1256u);
}

// A server whose clock the test moves.
class DefenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.setPin("2580");
        ASSERT_TRUE(server.start(0));
    }

    TcpClient connect(const char* from = "127.0.0.1") {
        TcpClient c;
        EXPECT_TRUE(c.connect(server.boundPort(), "127.0.0.1", from));
        pump(20ms);
        return c;
    }

    std::optional<std::string> hello(TcpClient& c, const std::string& pin) {
        EXPECT_TRUE(c.send("{\"t\":\"hello\",\"pin\":\"" + pin + "\"}\n"));
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < deadline) {
            server.poll();
            if (auto reply = c.readLine(2ms)) return reply;
        }
        return std::nullopt;
    }

    void pump(std::chrono::milliseconds d) {
        const auto deadline = std::chrono::steady_clock::now() + d;
        while (std::chrono::steady_clock::now() < deadline) {
            server.poll();
            std::this_thread::sleep_for(1ms);
        }
    }

    bool closed(TcpClient& c) {
        for (int i = 0; i < 100; ++i) {
            server.poll();
            if (c.closedByPeer(5ms)) return true;
        }
        return false;
    }

    TimePoint now = TimePoint{} + 1h;
    ControlServer server{[this] { return now; }};
};

TEST_F(DefenceTest, GuessingIsRefusedAfterFiveFailuresButOtherHostsAreNot) {
    for (int i = 0; i < 5; ++i) {
        TcpClient c = connect();
        EXPECT_EQ(hello(c, std::to_string(1000 + i)), "{\"t\":\"hello_err\"}");
        now += 5s;
    }
    TcpClient guesser = connect();
    EXPECT_EQ(hello(guesser, "2580"), "{\"t\":\"hello_err\"}");  // the right PIN, refused
    EXPECT_TRUE(closed(guesser));

    TcpClient phone = connect("127.0.0.2");
    EXPECT_EQ(hello(phone, "2580"), "{\"t\":\"hello_ok\"}");

    now += 60s;  // a quiet minute lifts the block
    TcpClient again = connect();
    EXPECT_EQ(hello(again, "2580"), "{\"t\":\"hello_ok\"}");
}

TEST_F(DefenceTest, SilentConnectionsAreClosedAfterTenSeconds) {
    TcpClient phone = connect();
    EXPECT_EQ(hello(phone, "2580"), "{\"t\":\"hello_ok\"}");
    std::vector<TcpClient> idle;
    for (int i = 0; i < 7; ++i)
        idle.push_back(connect("127.0.0.3"));
    EXPECT_EQ(server.clientCount(), 8);
    now += 9s;
    pump(20ms);
    EXPECT_EQ(server.clientCount(), 8);
    now += 1s;
    for (TcpClient& c : idle)
        EXPECT_TRUE(closed(c));
    EXPECT_EQ(server.clientCount(), 1);  // the authenticated phone stays
    TcpClient second = connect();
    EXPECT_EQ(hello(second, "2580"), "{\"t\":\"hello_ok\"}");
}

TEST_F(DefenceTest, AudioIsAdmittedOnlyFromAnAuthenticatedPeer) {
    EXPECT_FALSE(server.admitsAudioFrom(address("127.0.0.1")));
    TcpClient phone = connect("127.0.0.4");
    EXPECT_EQ(hello(phone, "2580"), "{\"t\":\"hello_ok\"}");
    EXPECT_TRUE(server.admitsAudioFrom(address("127.0.0.4")));
    EXPECT_FALSE(server.admitsAudioFrom(address("127.0.0.1")));
    phone.close();
    pump(30ms);
    EXPECT_FALSE(server.admitsAudioFrom(address("127.0.0.4")));
}

TEST(PairingDefenceWithoutPin, EngineStaysOpen) {
    TimePoint now = TimePoint{} + 1h;
    ControlServer server([&now] { return now; });
    ASSERT_TRUE(server.start(0));
    TcpClient idle;
    ASSERT_TRUE(idle.connect(server.boundPort()));
    server.poll();
    now += 1h;
    for (int i = 0; i < 10; ++i)
        server.poll();
    EXPECT_EQ(server.clientCount(), 1);
    EXPECT_TRUE(server.admitsAudioFrom(address("192.0.2.1")));
}

}  // namespace
