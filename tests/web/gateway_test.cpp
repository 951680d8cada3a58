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

    // A stream that sends no sound is ended with a sentence.
    std::pair<uint8_t, QByteArray> ending;
    while ((ending = again.next(30s)).first == kNotice) {
    }
    EXPECT_EQ(ending,
              std::make_pair(uint8_t(kError), QByteArray("\x08No sound arrived for 5 seconds, so the "
                                                         "computer ended the stream. Tap Start to go on.")));
    EXPECT_TRUE(again.closed());
}

TEST_F(WebGateway, RefusesAnotherSitesPageAndAWrongPin) {
    EXPECT_FALSE(Page("https://evil.example").opened());

    Page guess;
    ASSERT_TRUE(guess.opened());
    guess.hello("0000");
    EXPECT_EQ(
        guess.next(),
        std::make_pair(uint8_t(kError), QByteArray("\x01Wrong PIN. Check the PIN shown on the computer.")));
    EXPECT_TRUE(guess.closed());
}

}  // namespace
}  // namespace testsupport
