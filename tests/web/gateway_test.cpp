// The real gateway and the real engine in the sandbox, met by a scripted page
// on a WebSocket over TLS.
#include <cmath>

#include "tls_client.h"
#include "web_fixture.h"
#include "web_page.h"

namespace testsupport {
namespace {

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

// The head and the first frame arrive together, as a page may send them.
TEST_F(WebGateway, ClosesAWebSocketWhoseFrameBreaksTheRulesWithItsCode) {
    const QByteArray upgrade =
        "GET /stream HTTP/1.1\r\nHost: 127.0.0.1:47812\r\nOrigin: https://127.0.0.1:47812\r\n"
        "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    const std::pair<QByteArray, QByteArray> cases[] = {
        {QByteArray("\x82\x01\x02", 3), QByteArray("\x88\x02\x03\xEA", 4)},       // unmasked: 1002
        {QByteArray("\x81\x81\0\0\0\0a", 7), QByteArray("\x88\x02\x03\xEB", 4)},  // text: 1003
    };
    for (const auto& [frame, close] : cases) {
        TlsClient client(47812);
        ASSERT_TRUE(client.encrypted());
        client.send(upgrade + frame);
        EXPECT_TRUE(client.closedByServer());
        const QByteArray& got = client.received();
        EXPECT_TRUE(got.startsWith("HTTP/1.1 101 ")) << got.toStdString();
        EXPECT_EQ(got.mid(got.indexOf("\r\n\r\n") + 4).toHex(), close.toHex());
    }
}

}  // namespace
}  // namespace testsupport
