// The real gateway and the real engine in the sandbox, met by a scripted page
// on a WebSocket over TLS.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <csignal>

#include "audio_analysis.h"
#include "engine_process.h"
#include "gateway_process.h"
#include "net_client.h"
#include "process_table.h"
#include "ring_tap.h"
#include "tls_client.h"
#include "web_page.h"

namespace testsupport {
namespace {

const std::string kPin = "4711";

// The tone at 1 kHz and the given RMS (within 1.5 dB), from frame from on,
// without a quiet 10 ms anywhere.
void expectTone(const std::vector<float>& x, size_t from, double wantedRms) {
    const size_t count = x.size() / 2;
    ASSERT_GT(count, from + 48000) << "too little audio in the ring";
    EXPECT_NEAR(frequency(x, 0, from, count - from), 1000.0, 5.0);
    EXPECT_NEAR(20 * std::log10(rms(x, 0, from, count - from) / wantedRms), 0.0, 1.5);
    EXPECT_EQ(longestQuiet(x, 0, from, count, 0.02f).length, 0u) << "a hole in the tone";
}

class WebGateway : public ::testing::Test {
protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "web_tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
        setenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()).constData(), 1);
        engine = std::make_unique<EngineProcess>(EngineProcess::withPin(kPin));
        ASSERT_TRUE(engine->waitReady());
        gateway = startGateway(kPin);
        ASSERT_TRUE(gateway) << "the gateway did not start";
    }
    // The gateway ends cleanly: under the sanitizers a leak or a finding on its way
    // out makes the exit status nonzero.
    void TearDown() override {
        if (!gateway) return;
        gateway->signal(SIGTERM);
        EXPECT_EQ(gateway->waitForExit(30s), 0) << gateway->err();
    }

    QTemporaryDir dataHome;  // the gateway's certificate
    std::unique_ptr<EngineProcess> engine;
    std::unique_ptr<ChildProcess> gateway;
    RingTap tap;
};

TEST_F(WebGateway, StreamsAToneIntoTheRingAndResumesAfterAnEngineRestart) {
    EXPECT_FALSE(Page("https://evil.example").opened()) << "another site's page was let in";
    Page page;
    ASSERT_TRUE(page.opened());
    page.hello(kPin);
    EXPECT_EQ(page.next().first, kWelcome);
    EXPECT_EQ(page.next().second.size(), 32) << "no token after a Welcome for the PIN";
    EXPECT_EQ(page.next(), std::make_pair(uint8_t(kNotice), QByteArray("\x01The computer is receiving.")));
    page.streamTone(3, tap);
    expectTone(tap.frames, 24000, 16383 / 32768.0 / std::sqrt(2.0));
    EXPECT_TRUE(gateway->waitForLine(
        R"({"codec":"pcm","event":"stream-started","phone":"Phone · Browser","transport":"websocket"})",
        20s));  // what the app follows
    EXPECT_NE(gateway->out().find(R"("event":"stats")"), std::string::npos);
    EXPECT_FALSE(page.stats().isEmpty()) << "the page was told no statistics";

    // The page goes on sending while the engine is away, as a phone does: a
    // stream without sound would end.
    engine->process().signal(SIGTERM);
    page.streamTone(1, tap);
    ASSERT_EQ(engine->process().waitForExit(30s), 0);
    EXPECT_EQ(page.next().second.left(1), QByteArray("\x02"));  // engine down
    engine = std::make_unique<EngineProcess>(EngineProcess::withPin(kPin));
    tap.frames.clear();
    std::pair<uint8_t, QByteArray> linked;
    for (int second = 0; second < 60 && linked.first == 0; ++second) {
        page.streamTone(1, tap);
        linked = page.next(0ms);
    }
    EXPECT_EQ(linked.second.left(1), QByteArray("\x01"));
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
    EXPECT_EQ(gateway->err().find(kPin), std::string::npos) << "the log shows the PIN:\n" << gateway->err();

    // A stream that sends no sound is ended with a sentence.
    std::pair<uint8_t, QByteArray> ending;
    while ((ending = again.next(30s)).first == kNotice || ending.second.size() == 32) {
    }
    EXPECT_EQ(ending,
              std::make_pair(uint8_t(kError), QByteArray("\x08No sound arrived for 5 seconds, so the "
                                                         "computer ended the stream. Tap Start to go on.")));
    EXPECT_TRUE(again.closed());
    // What the app follows: the last event says the stream stopped.
    EXPECT_TRUE(
        waitFor([&] { return gateway->outLines().back().find("stream-stopped") != std::string::npos; }));
}

// Scans, abandoned handshakes and a client that never reads: the gateway keeps
// answering and gives back every descriptor. (The abuse run in make soak
// throws the rest at it: caps, plain http://, bad framing, PIN guessing.)
TEST_F(WebGateway, TheAcceptPathHolds) {
    const long baseline = readProcess(gateway->pid())->openFiles;
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
    for (TcpClient& client : stalled)
        EXPECT_TRUE(client.closedByPeer(30s));

    // Pipelined requests that are never read hold one answer, not thousands.
    [[maybe_unused]] const long before = readProcess(gateway->pid())->rssKb;
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
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps what was freed resident
        EXPECT_LT(readProcess(gateway->pid())->rssKb - before, 4096);
#endif
    }

    fresh.socket().abort();
    EXPECT_TRUE(waitFor([&] { return readProcess(gateway->pid())->openFiles == baseline; }, 30s))
        << readProcess(gateway->pid())->openFiles << " descriptors, " << baseline << " at the start";
}

}  // namespace
}  // namespace testsupport
