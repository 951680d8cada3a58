// The engine as a process: its arguments, its stop, its ports, its mode lines.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine_process.h"
#include "sonvale_protocol.h"
#include "wait.h"

namespace testsupport {
namespace {

using namespace std::chrono_literals;

TEST(EngineProcess, StopsWithStatusZeroOnEitherSignalAndNothingOnStandardError) {
    for (int sig : {SIGTERM, SIGINT}) {
        EngineProcess engine(EngineProcess::withPin("1234"));
        ASSERT_TRUE(engine.waitReady());
        engine.process().signal(sig);
        engine.process().signal(sig);  // a second signal while stopping changes nothing
        EXPECT_EQ(engine.process().waitForExit(30s), 0);
        EXPECT_EQ(engine.process().err(), "");
    }
}

// Only with two or more arguments are they examined; the last "--pin" wins and
// the value after a "--pin" is examined again. No PIN admits any hello.
TEST(EngineProcess, PinArguments) {
    struct Case {
        std::vector<std::string> args;
        std::string pin;    // "": no PIN, any hello is accepted
        std::string wrong;  // refused when there is a PIN
    };
    const Case cases[] = {
        {{}, "", "9999"},
        {{"--pin"}, "", "9999"},
        {{"x", "--pin"}, "", "9999"},
        {{"--pin", ""}, "", "9999"},
        {{"--pin", "1111", "--pin", "2222"}, "2222", "1111"},
        {{"--pin", "--pin", "3333"}, "3333", "--pin"},
        {{"--verbose", "--pin", "4444", "extra"}, "4444", "extra"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EngineProcess engine(c.args);
        ASSERT_TRUE(engine.waitReady());
        EXPECT_EQ(ControlClient::pair(c.wrong).has_value(), c.pin.empty());
        EXPECT_TRUE(ControlClient::pair(c.pin));
        EXPECT_EQ(engine.stop(), 0);
    }
}

TEST(EngineProcess, ATakenPortEndsItWithStatusOne) {
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const int fd = socket(AF_INET, type, 0);
        const int one = 1;  // earlier tests may leave connections in TIME_WAIT
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(type == SOCK_DGRAM ? sonvale::kAudioPort : sonvale::kControlPort);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        if (type == SOCK_STREAM) {
            ASSERT_EQ(listen(fd, 1), 0);
        }
        EngineProcess engine(EngineProcess::withPin("1234"));
        EXPECT_EQ(engine.process().waitForExit(30s), 1);
        EXPECT_NE(engine.process().err(), "");
        EXPECT_FALSE(engine.waitReady(0ms));
        close(fd);
    }
}

// A paired phone's valid mode line sets the target once; an invalid one nothing.
// (Who may send them is the control server's own rule.)
TEST(EngineProcess, ModeLinesSetTheJitterTarget) {
    EngineProcess engine(EngineProcess::withPin("77"));
    ASSERT_TRUE(engine.waitReady());
    std::optional<ControlClient> phone = ControlClient::pair("77");
    ASSERT_TRUE(phone);
    phone->socket().send("{\"t\":\"mode\",\"mode\":3}\n{\"t\":\"mode\",\"mode\":0}\n");
    const auto modeLines = [&] {
        std::vector<std::string> lines;
        for (const std::string& line : engine.process().outLines()) {
            if (line.find("jitter target") != std::string::npos) lines.push_back(line);
        }
        return lines;
    };
    ASSERT_TRUE(waitFor([&] { return !modeLines().empty(); }));
    EXPECT_EQ(engine.stop(), 0);
    ASSERT_EQ(modeLines().size(), 1u);
    EXPECT_NE(modeLines()[0].find("target 2 packets"), std::string::npos) << modeLines()[0];
}

}  // namespace
}  // namespace testsupport
