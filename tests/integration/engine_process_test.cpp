#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "engine_fixture.h"

namespace testsupport {
namespace {

const std::vector<std::string> kStartupWithPin = {
    "[engine] UDP audio listening on port 47810",
    "[engine] PIN pairing enabled",
    "[engine] Control server listening on port 47811",
    kReady,
};

TEST_F(EngineTest, StartupLinesWithPinAndCleanStopOnSigterm) {
    launchReady({"--pin", "1234"});
    EXPECT_EQ(engine->outLines(), kStartupWithPin);
    const auto t0 = std::chrono::steady_clock::now();
    engine->signal(SIGTERM);
    engine->signal(SIGTERM);  // a second signal during shutdown changes nothing
    EXPECT_EQ(engine->waitForExit(30s), 0);
    if (!wrapped()) {
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    }
    std::vector<std::string> expected = kStartupWithPin;
    expected.push_back("[engine] Shutting down.");
    EXPECT_EQ(engine->outLines(), expected);
    EXPECT_EQ(engine->err(), "");
}

TEST_F(EngineTest, SigintStopsWithStatusZero) {
    launchReady({});
    engine->signal(SIGINT);
    EXPECT_EQ(engine->waitForExit(30s), 0);
    EXPECT_EQ(engine->outLines().back(), "[engine] Shutting down.");
}

TEST_F(EngineTest, WithoutPinNoPinLineAndAudioIsAdmittedWithoutClient) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--pin"}, {"x", "--pin"}, {"--pin", ""}}) {
        launchReady(args);
        for (const std::string& line : engine->outLines())
            EXPECT_NE(line, "[engine] PIN pairing enabled");
        ASSERT_EQ(engine->outLines().size(), 3u);
        // With no PIN every hello is accepted, also one without a pin key.
        TcpClient c;
        ASSERT_TRUE(c.connectWithin(kControlPort, 5s));
        c.send("{\"t\":\"hello\"}\n");
        EXPECT_EQ(c.readLine(5s), "{\"t\":\"hello_ok\"}");
        engine->signal(SIGTERM);
        EXPECT_EQ(engine->waitForExit(30s), 0);
        SVRing_Close(&ring);
    }
}

TEST_F(EngineTest, LastPinOptionWinsAndValueIsExaminedAgain) {
    struct Case {
        std::vector<std::string> args;
        std::string pin;
        std::string wrong;
    };
    const Case cases[] = {
        {{"--pin", "1111", "--pin", "2222"}, "2222", "1111"},
        {{"--pin", "--pin", "3333"}, "3333", "--pin"},
        {{"--verbose", "--pin", "4444", "extra"}, "4444", "extra"},
    };
    for (const Case& c : cases) {
        launchReady(c.args);
        TcpClient bad;
        ASSERT_TRUE(bad.connectWithin(kControlPort, 5s));
        bad.send("{\"t\":\"hello\",\"pin\":\"" + c.wrong + "\"}\n");
        EXPECT_EQ(bad.readLine(5s), "{\"t\":\"hello_err\"}");
        authedClient(c.pin);
        engine->signal(SIGTERM);
        EXPECT_EQ(engine->waitForExit(30s), 0);
        SVRing_Close(&ring);
    }
}

TEST_F(EngineTest, AudioPortTakenFailsWithOneErrorLine) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kAudioPort);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    launch({"--pin", "1234"});
    EXPECT_EQ(engine->waitForExit(30s), 1);
    EXPECT_EQ(engine->err(), "[engine] ERROR: UdpReceiver::bind(47810) failed\n");
    EXPECT_EQ(engine->out(), "");
    close(fd);
}

TEST_F(EngineTest, ControlPortTakenFails) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kControlPort);
    const int one = 1;  // earlier tests may leave connections in TIME_WAIT
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    launch({"--pin", "1234"});
    EXPECT_EQ(engine->waitForExit(30s), 1);
    EXPECT_EQ(engine->err(), "[engine] ERROR: ControlServer::start(47811) failed\n");
    EXPECT_EQ(engine->outLines(), (std::vector<std::string>{"[engine] UDP audio listening on port 47810",
                                                            "[engine] PIN pairing enabled"}));
    close(fd);
}

TEST_F(EngineTest, ModeLinesSetTheTargetAndLog) {
    launchReady({"--pin", "77"});
    TcpClient c = authedClient("77");
    c.send("{\"t\":\"mode\",\"mode\":2}\n");
    EXPECT_TRUE(engine->waitForLine("[engine] Mode 2 \u2192 jitter target 8 packets", 5s));
    c.send("{\"t\":\"mode\",\"mode\":\t 0}\n");
    EXPECT_TRUE(engine->waitForLine("[engine] Mode 0 \u2192 jitter target 2 packets", 5s));
    // Ignored: quoted value, 3, no "t":"mode".
    c.send("{\"t\":\"mode\",\"mode\":\"1\"}\n{\"t\":\"mode\",\"mode\":3}\n{\"mode\":1}\n");
    c.send("{\"t\":\"mode\",\"mode\":1}\n{\"t\":\"mode\",\"mode\":1}\n");
    ASSERT_TRUE(engine->waitForLine("[engine] Mode 1 \u2192 jitter target 4 packets", 5s));
    std::this_thread::sleep_for(200ms);
    engine->signal(SIGTERM);
    ASSERT_EQ(engine->waitForExit(30s), 0);
    std::vector<std::string> modeLines;
    for (const std::string& line : engine->outLines()) {
        if (line.rfind("[engine] Mode", 0) == 0) modeLines.push_back(line);
    }
    EXPECT_EQ(modeLines, (std::vector<std::string>{"[engine] Mode 2 \u2192 jitter target 8 packets",
                                                   "[engine] Mode 0 \u2192 jitter target 2 packets",
                                                   "[engine] Mode 1 \u2192 jitter target 4 packets",
                                                   "[engine] Mode 1 \u2192 jitter target 4 packets"}));
}

TEST_F(EngineTest, ModeLineFromUnauthenticatedClientIsDropped) {
    launchReady({"--pin", "77"});
    TcpClient c;
    ASSERT_TRUE(c.connectWithin(kControlPort, 5s));
    c.send("{\"t\":\"mode\",\"mode\":2}\n{\"t\":\"ping\"}\n");
    EXPECT_EQ(c.readLine(5s), "{\"t\":\"ping\"}");
    std::this_thread::sleep_for(100ms);
    engine->signal(SIGTERM);
    ASSERT_EQ(engine->waitForExit(30s), 0);
    EXPECT_EQ(engine->outLines().size(), 5u);
}

}  // namespace
}  // namespace testsupport
