// The real gateway and the real engine in the sandbox, met by a scripted page
// on a WebSocket over TLS.
#include <cmath>
#include <filesystem>
#include <fstream>

#include "net_client.h"
#include "tls_client.h"
#include "web_fixture.h"
#include "web_page.h"

namespace testsupport {
namespace {

size_t openDescriptors(pid_t pid) {
    const auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
    return size_t(std::distance(begin(fds), end(fds)));
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string word; status >> word;) {
        if (word == "VmRSS:" && status >> word) return std::stol(word);
    }
    return -1;
}

TEST_F(WebGateway, StreamsAToneIntoTheRingAndResumesAfterAnEngineRestart) {
    Page page;
    ASSERT_TRUE(page.opened());
    page.hello(kPin);
    EXPECT_EQ(page.next().first, kWelcome);
    EXPECT_EQ(page.next(), std::make_pair(uint8_t(kNotice), QByteArray("\x01The computer is receiving.")));
    page.streamTone(3, tap);
    expectTone(tap.frames, 24000, 16383 / 32768.0 / std::sqrt(2.0));

    ASSERT_EQ(engine->stop(), 0);
    EXPECT_EQ(page.next().second.left(1), QByteArray("\x02"));  // engine down
    startEngine();
    tap.frames.clear();
    page.streamTone(1, tap);
    EXPECT_EQ(page.next().second.left(1), QByteArray("\x01"));
    page.streamTone(3, tap);
    expectTone(tap.frames, tap.frames.size() / 2 - 2 * 48000, 16383 / 32768.0 / std::sqrt(2.0));

    // The same page coming back on a new connection takes its stream over, and
    // its latency choice reaches the engine.
    Page again;
    ASSERT_TRUE(again.opened());
    again.hello(kPin);
    EXPECT_EQ(again.next().first, kWelcome);
    EXPECT_TRUE(page.closed());
    again.send(3, QByteArray(1, 2));
    EXPECT_TRUE(pumpUntil([&] { return engine->process().out().find("Mode 2") != std::string::npos; }));
}

TEST_F(WebGateway, RefusesWhatIsNotItsOwnPairedPage) {
    // Another site's page may not open the socket at all.
    EXPECT_FALSE(Page("https://evil.example").opened());

    // One streams; a second page with the right PIN is told and ended.
    Page first;
    ASSERT_TRUE(first.opened());
    first.hello(kPin);
    ASSERT_EQ(first.next().first, kWelcome);
    Page second;
    ASSERT_TRUE(second.opened());
    second.hello(kPin, "other");
    EXPECT_EQ(second.next(), std::make_pair(uint8_t(kError), QByteArray("\x03"
                                                                        "Another phone is streaming")));
    EXPECT_TRUE(second.closed());

    // Five wrong PINs, then even the right one is refused.
    for (int i = 0; i < 6; ++i) {
        Page guess;
        ASSERT_TRUE(guess.opened());
        guess.hello(i < 5 ? "0000" : kPin);
        EXPECT_EQ(guess.next().second.left(1), QByteArray(1, char(i < 5 ? 1 : 2))) << i;
        EXPECT_TRUE(guess.closed());
    }

    // Silence after opening ends the page within the hello time.
    Page silent;
    ASSERT_TRUE(silent.opened());
    EXPECT_EQ(silent.next(30s).second.left(1), QByteArray("\x05"));
    EXPECT_TRUE(silent.closed());
}

// Scans, abandoned handshakes, plain http://, a client that never reads and a
// crowd from one address: the gateway keeps answering and gives back every
// descriptor.
TEST_F(WebGateway, TheAcceptPathHolds) {
    const size_t baseline = openDescriptors(gateway->pid());
    for (int i = 0; i < 1000; ++i)
        TcpClient().connect(47812);

    // Stalled before a request: silent, half a ClientHello, half a plain head.
    std::vector<TcpClient> stalled(200);
    for (size_t i = 0; i < stalled.size(); ++i) {
        const std::string from = "127.0.1." + std::to_string(1 + i / 10);
        ASSERT_TRUE(stalled[i].connect(47812, "127.0.0.1", from.c_str()));
        stalled[i].send(std::array<std::string, 3>{"", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc", 9),
                                                   "GET / HTTP/1.1\r\nHost: x\r\n"}[i % 3]);
    }
    TlsClient fresh;
    EXPECT_TRUE(fresh.get("/").startsWith("HTTP/1.1 200 OK"));
    TcpClient plain;
    ASSERT_TRUE(plain.connect(47812));
    plain.send("GET /app.js?v=1 HTTP/1.1\r\nHost: localhost:47812\r\n\r\n");
    EXPECT_EQ(plain.readLine(20s), "HTTP/1.1 301 Moved Permanently\r");
    EXPECT_EQ(plain.readLine(20s), "Location: https://localhost:47812/app.js?v=1\r");
    for (TcpClient& client : stalled)
        EXPECT_TRUE(client.closedByPeer(30s));

    // Pipelined requests that are never read hold one answer, not thousands.
    const long before = residentKiB(gateway->pid());
    {
        TlsClient hog;
        ASSERT_TRUE(hog.encrypted());
        hog.stopReading();
        QByteArray requests;
        while (requests.size() < 1 << 20)
            requests += "GET /app.js HTTP/1.1\r\nHost: 127.0.0.1:47812\r\n\r\n";
        hog.socket().write(requests);
        // Everything sent (loopback buffers hold a megabyte), and time to answer it all.
        pumpUntil([&] { return hog.socket().encryptedBytesToWrite() == 0; });
        pumpUntil([] { return false; }, 2s);
        EXPECT_LT(residentKiB(gateway->pid()) - before, 4096);
    }

    // Sixteen from one address; the seventeenth is turned away, not another.
    std::vector<std::unique_ptr<TlsClient>> crowd;
    for (int i = 0; i < 16; ++i) {
        crowd.push_back(std::make_unique<TlsClient>("127.0.0.3"));
        ASSERT_TRUE(crowd.back()->encrypted()) << i;
    }
    TcpClient seventeenth;
    ASSERT_TRUE(seventeenth.connect(47812, "127.0.0.1", "127.0.0.3"));
    EXPECT_TRUE(seventeenth.closedByPeer(20s));
    for (auto& member : crowd)
        EXPECT_EQ(member->socket().state(), QAbstractSocket::ConnectedState);
    EXPECT_TRUE(TlsClient("127.0.0.2").get("/").startsWith("HTTP/1.1 200 OK"));
    EXPECT_NE(gateway->err().find("refused"), std::string::npos);

    crowd.clear();
    fresh.socket().abort();
    EXPECT_TRUE(waitFor([&] { return openDescriptors(gateway->pid()) == baseline; }, 30s))
        << openDescriptors(gateway->pid()) << " descriptors, " << baseline << " at the start";
}

}  // namespace
}  // namespace testsupport
