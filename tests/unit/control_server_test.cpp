// The control server and its guard against PIN guessing, driven by polling as
// the engine's loop drives them, with a clock the test moves.
#include "control_server.h"
#include "hello_guard.h"
#include "line_framer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "net_client.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using testsupport::TcpClient;
using TimePoint = std::chrono::steady_clock::time_point;

class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start(0)); }

    // Polls until done() holds, keeping every line handed out.
    template <class Predicate>
    bool pollUntil(Predicate done) {
        return testsupport::waitFor([&] {
            while (std::optional<std::string> line = server.poll())
                polled.push_back(*line);
            return done();
        });
    }
    TcpClient connect(const char* from = "127.0.0.1") {
        const int before = server.clientCount();
        TcpClient c;
        EXPECT_TRUE(c.connect(server.boundPort(), "127.0.0.1", from));
        EXPECT_TRUE(pollUntil([&] { return server.clientCount() > before || before == 8; }));
        return c;
    }
    // Sends and polls until the reply line comes.
    std::optional<std::string> request(TcpClient& c, const std::string& bytes) {
        EXPECT_TRUE(c.send(bytes));
        std::optional<std::string> reply;
        pollUntil([&] { return (reply = c.readLine(5ms)).has_value(); });
        return reply;
    }
    std::optional<std::string> hello(TcpClient& c, const std::string& pin) {
        return request(c, "{\"t\":\"hello\",\"pin\":\"" + pin + "\"}\n");
    }
    bool closed(TcpClient& c) {
        return pollUntil([&] { return c.closedByPeer(1ms); });
    }
    bool answersPing(TcpClient& c) { return request(c, "{\"t\":\"ping\"}\n") == "{\"t\":\"ping\"}"; }

    TimePoint now = TimePoint{} + 1h;
    ControlServer server{[this] { return now; }};
    std::vector<std::string> polled;
};

// Lines end with LF, one CR before it goes, empty lines vanish, whatever the
// chunks; the limit counts unconsumed bytes after each chunk is added.
TEST(LineFramer, CutsLinesAndLimitsUnconsumedInput) {
    using Lines = std::vector<std::string>;
    const std::tuple<Lines, Lines, bool> rows[] = {  // chunks, lines, within the limit
        {{"{\"a\":", "1}\r\n\r\n\n{\"b\":\r2}\nx\r\r\n"}, {"{\"a\":1}", "{\"b\":\r2}", "x\r"}, true},
        {{std::string(31, 'a') + "\n", std::string(32, 'b')}, {std::string(31, 'a')}, true},
        {{std::string(32, 'b'), "c\n"}, {}, false},
    };
    for (const auto& [chunks, expected, withinLimit] : rows) {
        LineFramer framer(32);
        Lines lines;
        bool within = true;
        for (const std::string& chunk : chunks) {
            if (!(within = framer.append(chunk.data(), chunk.size()))) break;
            while (std::optional<std::string> line = framer.next())
                lines.push_back(*line);
        }
        EXPECT_EQ(std::tuple(lines, within), std::tuple(expected, withinLimit)) << chunks[0];
    }
}

// Pings are answered by anyone; other lines count only after the hello, and a
// later wrong hello ends the pairing.
TEST_F(ControlServerTest, APhonesConversation) {
    server.setPin("0042");
    TcpClient c = connect("127.0.0.4");
    EXPECT_EQ(request(c, "{\"t\":\"ping\",\"id\":7}\r\n"), "{\"t\":\"ping\",\"id\":7}");
    EXPECT_EQ(request(c, "{\"t\":\"mode\",\"mode\":2}\n{\"t\":\"ping\"}\n"), "{\"t\":\"ping\"}");
    EXPECT_FALSE(server.hasAuthedClient());
    EXPECT_FALSE(server.admitsAudioFrom(inet_addr("127.0.0.4")));
    EXPECT_EQ(hello(c, "0042"), "{\"t\":\"hello_ok\"}");
    EXPECT_TRUE(server.hasAuthedClient());
    EXPECT_TRUE(server.admitsAudioFrom(inet_addr("127.0.0.4")));
    EXPECT_FALSE(server.admitsAudioFrom(inet_addr("127.0.0.1")));
    EXPECT_TRUE(c.send("{\"t\": \"ping\"}\n"));  // not quite a ping: queued like any line
    EXPECT_TRUE(pollUntil([&] { return !polled.empty(); }));
    EXPECT_EQ(polled, (std::vector<std::string>{"{\"t\": \"ping\"}"}));
    EXPECT_EQ(hello(c, "9999"), "{\"t\":\"hello_err\"}");
    EXPECT_TRUE(closed(c));
    EXPECT_FALSE(server.hasAuthedClient());
    EXPECT_FALSE(server.admitsAudioFrom(inet_addr("127.0.0.4")));
}

// Without a PIN everything is admitted and nobody times out; the queue holds 63 lines.
TEST_F(ControlServerTest, WithoutPinEveryLineIsQueuedUpTo63) {
    TcpClient c = connect();
    EXPECT_TRUE(server.admitsAudioFrom(inet_addr("192.0.2.1")));
    now += 1h;
    EXPECT_EQ(request(c, "{\"t\":\"hello\"}\n"), "{\"t\":\"hello_ok\"}");
    std::string bytes;
    for (int i = 0; i < 70; ++i)
        bytes += "line" + std::to_string(i) + "\n";
    EXPECT_EQ(request(c, bytes + "{\"t\":\"ping\"}\n"), "{\"t\":\"ping\"}");
    ASSERT_EQ(polled.size(), 63u);
    EXPECT_EQ(polled.back(), "line62");
}

// Guessing: wrong PINs from one host soon refuse even the right one from there,
// but not from another host (the guard's own tests hold its window).
TEST_F(ControlServerTest, PinGuessingIsRefused) {
    server.setPin("2580");
    for (int i = 0; i < 5; ++i) {
        TcpClient c = connect();
        EXPECT_EQ(hello(c, std::to_string(1000 + i)), "{\"t\":\"hello_err\"}");
        now += 5s;
    }
    TcpClient guesser = connect();
    EXPECT_EQ(hello(guesser, "2580"), "{\"t\":\"hello_err\"}");
    TcpClient phone = connect("127.0.0.2");
    EXPECT_EQ(hello(phone, "2580"), "{\"t\":\"hello_ok\"}");
}

// Eight slots, a ninth connection is closed; silent connections cannot hold
// them: 10 s without a hello closes them and frees their slots.
TEST_F(ControlServerTest, EightSlotsAndSilentConnectionsCloseAfterTenSeconds) {
    server.setPin("2580");
    TcpClient phone = connect();
    EXPECT_EQ(hello(phone, "2580"), "{\"t\":\"hello_ok\"}");
    std::vector<TcpClient> idle;
    for (int i = 0; i < 7; ++i)
        idle.push_back(connect("127.0.0.3"));
    TcpClient ninth = connect();
    EXPECT_TRUE(closed(ninth));
    now += 9s;
    EXPECT_TRUE(answersPing(phone));
    EXPECT_EQ(server.clientCount(), 8);
    now += 1s;
    for (TcpClient& c : idle)
        EXPECT_TRUE(closed(c));
    TcpClient again = connect();
    EXPECT_TRUE(answersPing(again));
    EXPECT_EQ(server.clientCount(), 2);
}

// More unconsumed input than the limit closes the connection (the framer's own
// test holds where the limit lies); a peer that resets before its reply is
// written must not kill the engine (no SIGPIPE); the other connections stay.
TEST_F(ControlServerTest, OversizeInputAndResetPeersLeaveTheOthersServed) {
    server.setPin("1234");
    TcpClient phone = connect();
    TcpClient over = connect();
    EXPECT_TRUE(over.send(std::string(ControlServer::kMaxBuffered + 1, 'b')));
    EXPECT_TRUE(closed(over));
    for (int i = 0; i < 50; ++i) {
        TcpClient c = connect();
        c.send(std::string(2000, 'x') + "{\"t\":\"ping\"}\n{\"t\":\"hello\",\"pin\":\"0\"}\n");
        c.reset();
        server.poll();
    }
    EXPECT_TRUE(answersPing(phone));
    EXPECT_EQ(server.clientCount(), 1);
}

// The record of failed hellos per host that stops PIN guessing.
TEST(HelloGuard, FiveFailuresWithinTheWindowBlockUntilItPassesWithoutFailure) {
    HelloGuard guard;
    const TimePoint t = TimePoint{} + 1h;
    const uint32_t a = inet_addr("10.0.0.5");
    for (int i = 0; i < 4; ++i)
        guard.recordFailure(a, t + i * 10s);
    EXPECT_FALSE(guard.isBlocked(a, t + 40s));
    guard.recordFailure(a, t + 50s);
    EXPECT_TRUE(guard.isBlocked(a, t + 50s));
    EXPECT_FALSE(guard.isBlocked(inet_addr("10.0.0.6"), t + 50s));
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
    const TimePoint t = TimePoint{} + 1h;
    for (uint32_t i = 0; i < 1000; ++i)
        guard.recordFailure(i, t);
    for (uint32_t i = 0; i < 1000; ++i)
        guard.recordFailure(100000 + i, t + 2min);
    EXPECT_LE(guard.trackedAddresses(), 1256u);
}

}  // namespace
