// The engine as a process: its arguments, its stop, its ports. (Its mode lines
// are met through the gateway's test, whose page picks a latency.)
#include <gtest/gtest.h>
#include <signal.h>

#include "control_server.h"
#include "engine_process.h"
#include "sonvale_protocol.h"
#include "udp_receiver.h"

namespace testsupport {
namespace {

using namespace std::chrono_literals;

// Only with two or more arguments are they examined; the last "--pin" wins and
// the value after a "--pin" is examined again. No PIN admits any hello. Either
// signal stops it with status 0 and nothing on standard error, also when a
// second one comes while it stops.
TEST(EngineProcess, PinArgumentsAndStop) {
    struct Case {
        std::vector<std::string> args;
        std::string pin;    // "": no PIN, any hello is accepted
        std::string wrong;  // refused when there is a PIN
        int stopWith;
    };
    const Case cases[] = {
        {{}, "", "9999", SIGTERM},
        {{"x", "--pin"}, "", "9999", SIGINT},
        {{"--pin", ""}, "", "9999", SIGTERM},
        {{"--pin", "1111", "--pin", "2222"}, "2222", "1111", SIGINT},
        {{"--pin", "--pin", "3333"}, "3333", "--pin", SIGTERM},
        {{"--verbose", "--pin", "4444", "extra"}, "4444", "extra", SIGINT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EngineProcess engine(c.args);
        ASSERT_TRUE(engine.waitReady());
        EXPECT_EQ(ControlClient::pair(c.wrong).has_value(), c.pin.empty());
        EXPECT_TRUE(ControlClient::pair(c.pin));
        engine.process().signal(c.stopWith);
        engine.process().signal(c.stopWith);
        EXPECT_EQ(engine.process().waitForExit(30s), 0);
        EXPECT_EQ(engine.process().err(), "");
    }
}

// Either port held by someone else ends the engine at once.
TEST(EngineProcess, ATakenPortEndsItWithStatusOne) {
    for (const bool audio : {true, false}) {
        UdpReceiver udp;
        ControlServer control;
        ASSERT_TRUE(audio ? udp.bind(sonvale::kAudioPort) : control.start(sonvale::kControlPort));
        EngineProcess engine(EngineProcess::withPin("1234"));
        EXPECT_EQ(engine.process().waitForExit(30s), 1);
        EXPECT_NE(engine.process().err(), "");
    }
}

}  // namespace
}  // namespace testsupport
