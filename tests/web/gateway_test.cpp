// The real gateway and the real engine in the sandbox, met by a scripted page
// on a WebSocket over TLS.
#include <QWebSocket>

#include <cmath>

#include "web_fixture.h"

namespace testsupport {
namespace {

enum : uint8_t { kHello = 1, kAudio = 2, kWelcome = 0x81, kNotice = 0x82, kError = 0x83 };

// A page's side of the WebSocket, speaking the messages byte by byte.
class Page {
public:
    explicit Page(const QString& origin = kOrigin) : ws_(origin) {
        QObject::connect(&ws_, &QWebSocket::sslErrors, [this] { ws_.ignoreSslErrors(); });
        QObject::connect(&ws_, &QWebSocket::binaryMessageReceived,
                         [this](const QByteArray& m) { inbox_.append(m); });
        ws_.open(QUrl("wss://127.0.0.1:47812/stream"));
    }
    bool opened() {
        pumpUntil([&] { return ws_.state() != QAbstractSocket::ConnectingState; });
        return ws_.state() == QAbstractSocket::ConnectedState;
    }
    void send(uint8_t type, const QByteArray& body) {
        ws_.sendBinaryMessage(QByteArray(1, char(type)) + char(body.size() & 0xFF) + char(body.size() >> 8) +
                              body);
    }
    void hello(const std::string& pin, const QByteArray& pageId = "page") {
        send(kHello,
             QByteArray("\x01\x02\x01", 3) + char(pin.size()) + QByteArray::fromStdString(pin) + pageId);
    }
    // The next message's type and body; type 0 when none came or the socket closed.
    std::pair<uint8_t, QByteArray> next(std::chrono::milliseconds timeout = 20s) {
        pumpUntil([&] { return !inbox_.isEmpty() || ws_.state() == QAbstractSocket::UnconnectedState; },
                  timeout);
        if (inbox_.isEmpty()) return {0, {}};
        const QByteArray m = inbox_.takeFirst();
        return {uint8_t(m[0]), m.mid(3)};
    }
    bool closed() {
        return pumpUntil([&] { return ws_.state() == QAbstractSocket::UnconnectedState; });
    }
    // A 1 kHz tone at half scale as 20 ms PCM chunks, paced by the clock.
    void streamTone(double seconds, RingTap& tap) {
        const auto start = std::chrono::steady_clock::now();
        for (int k = 0; k < int(seconds * 50); ++k) {
            QByteArray chunk(1920, 0);
            for (int i = 0; i < 960; ++i) {
                const auto s =
                    int16_t(std::lround(16383 * std::sin(2 * M_PI * 1000 * (k * 960 + i) / 48000.0)));
                chunk[2 * i] = char(s & 0xFF);
                chunk[2 * i + 1] = char((s >> 8) & 0xFF);
            }
            send(kAudio, chunk);
            pumpUntil([&] {
                tap.poll();
                return std::chrono::steady_clock::now() >= start + k * 20ms;
            });
        }
    }

private:
    QWebSocket ws_;
    QList<QByteArray> inbox_;
};

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

}  // namespace
}  // namespace testsupport
