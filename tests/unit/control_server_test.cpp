#include "control_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "net_client.h"

namespace {

using namespace std::chrono_literals;
using testsupport::TcpClient;

constexpr auto kWait = 2000ms;

// A started server on a system-chosen port, driven by polling like the main loop.
class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start(0)); }

    void start(const std::string& pin) { server.setPin(pin); }

    TcpClient connect() {
        TcpClient c;
        EXPECT_TRUE(c.connect(server.boundPort()));
        pollFor(20ms);
        return c;
    }

    // Polls until a line is handed out or the time is up; drops nothing.
    std::optional<std::string> pollLine(std::chrono::milliseconds timeout = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto line = server.poll()) return line;
            std::this_thread::sleep_for(1ms);
        }
        return std::nullopt;
    }

    void pollFor(std::chrono::milliseconds d) {
        const auto deadline = std::chrono::steady_clock::now() + d;
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto line = server.poll()) polled.push_back(*line);
            std::this_thread::sleep_for(1ms);
        }
    }

    // Sends and polls in a helper thread-free way: the reply needs poll() to run.
    std::optional<std::string> request(TcpClient& c, const std::string& bytes) {
        EXPECT_TRUE(c.send(bytes));
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto line = server.poll()) polled.push_back(*line);
            if (auto reply = c.readLine(2ms)) return reply;
        }
        return std::nullopt;
    }

    bool closedAfterPolling(TcpClient& c) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (std::chrono::steady_clock::now() < deadline) {
            server.poll();
            if (c.closedByPeer(5ms)) return true;
        }
        return false;
    }

    ControlServer server;
    std::vector<std::string> polled;
};

TEST_F(ControlServerTest, WithoutPinEverythingIsAdmitted) {
    EXPECT_TRUE(server.hasAuthedClient());  // no connection at all
    TcpClient c = connect();
    EXPECT_EQ(request(c, "{\"t\":\"hello\"}\n"), "{\"t\":\"hello_ok\"}");
    EXPECT_TRUE(c.send("{\"t\":\"mode\",\"mode\":1}\n"));
    EXPECT_EQ(pollLine(), "{\"t\":\"mode\",\"mode\":1}");
    EXPECT_FALSE(ControlServer::checkHello("{\"t\":\"hello\",\"pin\":\"\"}", ""));
}

TEST_F(ControlServerTest, PingIsEchoedWithLfOnlyEvenBeforeHello) {
    start("1234");
    TcpClient c = connect();
    EXPECT_EQ(request(c, "{\"t\":\"ping\",\"id\":7}\r\n"), "{\"t\":\"ping\",\"id\":7}");
    // A ping that also looks like a hello is a ping.
    EXPECT_EQ(request(c, "{\"t\":\"ping\",\"x\":{\"t\":\"hello\"}}\n"),
              "{\"t\":\"ping\",\"x\":{\"t\":\"hello\"}}");
    EXPECT_FALSE(server.hasAuthedClient());
}

TEST_F(ControlServerTest, HelloAuthenticatesAndAdmitsQueuedLines) {
    start("0042");
    TcpClient c = connect();
    EXPECT_TRUE(c.send("{\"t\":\"mode\",\"mode\":2}\n"));  // before hello: dropped
    pollFor(30ms);
    EXPECT_TRUE(polled.empty());
    EXPECT_FALSE(server.hasAuthedClient());
    EXPECT_EQ(request(c, "{\"t\":\"hello\",\"pin\":\"0042\"}\n"), "{\"t\":\"hello_ok\"}");
    EXPECT_TRUE(server.hasAuthedClient());
    EXPECT_TRUE(c.send("{\"t\": \"ping\"}\n"));  // not a ping: queued like any other line
    EXPECT_EQ(pollLine(), "{\"t\": \"ping\"}");
}

TEST_F(ControlServerTest, WrongHelloAnswersErrAndCloses) {
    start("1234");
    TcpClient c = connect();
    EXPECT_EQ(request(c, "{\"t\":\"hello\",\"pin\":1234}\n"), "{\"t\":\"hello_err\"}");
    EXPECT_TRUE(closedAfterPolling(c));
    EXPECT_EQ(server.clientCount(), 0);
}

TEST_F(ControlServerTest, ReHelloWithWrongPinDropsAuthentication) {
    start("1234");
    TcpClient c = connect();
    EXPECT_EQ(request(c, "{\"t\":\"hello\",\"pin\":\"1234\"}\n"), "{\"t\":\"hello_ok\"}");
    EXPECT_TRUE(server.hasAuthedClient());
    EXPECT_EQ(request(c, "{\"t\":\"hello\",\"pin\":\"9999\"}\n"), "{\"t\":\"hello_err\"}");
    EXPECT_TRUE(closedAfterPolling(c));
    EXPECT_FALSE(server.hasAuthedClient());
}

TEST(ControlServerHello, PinForms) {
    struct Row {
        const char* line;
        bool ok;
    };
    const Row rows[] = {
        {R"({"t":"hello","pin":"1234"})", true},
        {"{\"t\":\"hello\",\"pin\": \t\"1234\"}", true},
        {R"({"pin":"1234","t":"hello"})", true},
        {R"({"t":"hello","pin":1234})", false},
        {R"({"t":"hello","pin":" 1234"})", false},
        {R"({"t":"hello","pin":"12345"})", false},
        {R"({"t":"hello","pin":"123"})", false},
        {R"({"t":"hello","pin":"1234)", false},
        {R"({"t":"hello","pin":)", false},
        {R"({"t":"hello"})", false},
        {R"({"t":"hello","pin":"0000","pin":"1234"})", false},  // the first key decides
        {R"({"pin":"1234"})", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(ControlServer::checkHello(row.line, "1234"), row.ok) << row.line;
}

TEST_F(ControlServerTest, FramingSplitSegmentsCrAndEmptyLines) {
    TcpClient c = connect();
    EXPECT_TRUE(c.send("{\"a\":"));
    pollFor(20ms);
    EXPECT_TRUE(polled.empty());
    EXPECT_TRUE(c.send("1}\r\n\r\n\n{\"b\":\r2}\nx\r\r\n"));
    pollFor(50ms);
    EXPECT_EQ(polled, (std::vector<std::string>{"{\"a\":1}", "{\"b\":\r2}", "x\r"}));
}

TEST_F(ControlServerTest, TwoLinesInOneSegmentComeOutOnePerPoll) {
    TcpClient c = connect();
    EXPECT_TRUE(c.send("first\nsecond\n"));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(server.poll(), "first");
    EXPECT_EQ(server.poll(), "second");
    EXPECT_EQ(server.poll(), std::nullopt);
}

TEST_F(ControlServerTest, QueueHolds63Lines) {
    TcpClient c = connect();
    std::string bytes;
    for (int i = 0; i < 70; ++i)
        bytes += "line" + std::to_string(i) + "\n";
    EXPECT_TRUE(c.send(bytes));
    std::this_thread::sleep_for(50ms);
    std::vector<std::string> lines;
    while (auto line = server.poll())
        lines.push_back(*line);
    ASSERT_EQ(lines.size(), 63u);
    EXPECT_EQ(lines.front(), "line0");
    EXPECT_EQ(lines.back(), "line62");
}

// The limit is tested after each chunk is appended, before lines are taken out.
TEST_F(ControlServerTest, InputLimitIs65536UnconsumedBytes) {
    TcpClient exact = connect();
    EXPECT_TRUE(exact.send(std::string(65536, 'a')));
    pollFor(100ms);
    EXPECT_EQ(server.clientCount(), 1);
    exact.close();
    pollFor(20ms);

    TcpClient line = connect();
    EXPECT_TRUE(line.send(std::string(65535, 'a')));
    pollFor(100ms);
    EXPECT_TRUE(line.send("\n"));
    pollFor(50ms);
    EXPECT_EQ(server.clientCount(), 1);
    ASSERT_EQ(polled.size(), 1u);
    EXPECT_EQ(polled[0].size(), 65535u);

    TcpClient over = connect();
    EXPECT_TRUE(over.send(std::string(65536, 'b')));
    pollFor(100ms);
    over.send("b\n");  // completes a line, but the chunk first takes the buffer past the limit
    EXPECT_TRUE(closedAfterPolling(over));
    EXPECT_EQ(server.clientCount(), 1);
}

TEST_F(ControlServerTest, EightSlotsNinthClosedFreedSlotReused) {
    start("1");
    std::vector<TcpClient> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(connect());
    EXPECT_EQ(server.clientCount(), 8);
    TcpClient ninth = connect();
    EXPECT_TRUE(closedAfterPolling(ninth));
    EXPECT_EQ(server.clientCount(), 8);

    clients[2].close();
    pollFor(50ms);
    EXPECT_EQ(server.clientCount(), 7);
    TcpClient again = connect();
    EXPECT_EQ(server.clientCount(), 8);
    EXPECT_EQ(request(again, "{\"t\":\"ping\"}\n"), "{\"t\":\"ping\"}");
}

TEST_F(ControlServerTest, SecondStartFailsAndFirstSocketKeepsWorking) {
    const uint16_t port = server.boundPort();
    EXPECT_FALSE(server.start(0));
    EXPECT_EQ(server.boundPort(), port);
    TcpClient c = connect();
    EXPECT_EQ(request(c, "{\"t\":\"ping\"}\n"), "{\"t\":\"ping\"}");
}

TEST_F(ControlServerTest, LinesOutliveTheirConnection) {
    TcpClient c = connect();
    EXPECT_TRUE(c.send("a\nb\n"));
    std::this_thread::sleep_for(20ms);
    c.close();
    EXPECT_EQ(server.poll(), "a");
    EXPECT_EQ(server.poll(), "b");
}

TEST_F(ControlServerTest, PeerResetBeforeReplyDoesNotRaiseSigpipe) {
    start("1234");
    for (int i = 0; i < 50; ++i) {
        TcpClient c = connect();
        c.send(std::string(2000, 'x') + "{\"t\":\"ping\"}\n{\"t\":\"hello\",\"pin\":\"0\"}\n");
        c.reset();
        server.poll();
    }
    TcpClient c = connect();
    EXPECT_EQ(request(c, "{\"t\":\"ping\"}\n"), "{\"t\":\"ping\"}");
}

TEST(ControlServerStart, PortTakenFails) {
    ControlServer first;
    ASSERT_TRUE(first.start(0));
    ControlServer second;
    EXPECT_FALSE(second.start(first.boundPort()));
    EXPECT_TRUE(second.start(0));  // a failed start may be retried
}

}  // namespace
