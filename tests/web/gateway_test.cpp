// The real gateway and the real engine in the sandbox, met by a scripted page
// on a WebSocket over TLS.
#include <cmath>

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
    EXPECT_TRUE(gateway->waitForLine(R"({"event":"stream-started"})", 20s));  // what the app follows

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
    EXPECT_EQ(gateway->err().find(kPin), std::string::npos) << "the log shows the PIN:\n" << gateway->err();
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
