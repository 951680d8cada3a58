// The built Tarnwell on an X display (Xvfb) in the test sandbox, looked at from
// outside as a user and the system see it: its engine child, the PIN in the QR
// code on the screen, the DNS-SD service, the tray menu, signals and exit codes.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "net_client.h"
#include "paths.h"
#include "tarnwell_session.h"

namespace {

using namespace tarnwelltest;
using namespace servicestest;
using Clock = std::chrono::steady_clock;

// The engine's control port accepts the PIN: the phone can pair.
bool pairs(const std::string& pin) {
    testsupport::TcpClient client;
    if (!client.connectWithin(47811, 5s)) return false;
    client.send("{\"t\":\"hello\",\"pin\":\"" + pin + "\"}\n");
    return client.readLine(5s) == std::optional<std::string>("{\"t\":\"hello_ok\"}");
}

// Everything a clean quit leaves behind: the engine got SIGTERM from the
// application and exited 0, the service is gone, the application exited 0.
void expectCleanQuit(TarnwellSession& s, pid_t engine, SignalTrace& trace) {
    const std::optional<int> status = s.app().waitForExit(15s);
    ASSERT_TRUE(status.has_value()) << "Tarnwell did not exit";
    EXPECT_EQ(*status, 0) << s.app().err();
    const std::string events = trace.waitForEnd(5s);
    EXPECT_NE(events.find(
                  "--- SIGTERM {si_signo=SIGTERM, si_code=SI_USER, si_pid=" + std::to_string(s.pid()) + ","),
              std::string::npos)
        << events;
    EXPECT_NE(events.find("+++ exited with 0 +++"), std::string::npos) << events;
    EXPECT_FALSE(isLive(engine));
    EXPECT_TRUE(s.waitForAdvertised(0, 5s));
}

TEST(TarnwellE2E, TheEngineRunsWithThePinOnScreenAndIsBackWithinTwoSecondsAfterSigkill) {
    TarnwellSession s({});
    ASSERT_TRUE(s.ready());
    const std::optional<pid_t> engine = s.waitForEngine(10s);
    ASSERT_TRUE(engine.has_value());
    const std::optional<std::string> url = s.shownPairingURL(10s, "e2e-launch-screen.png");
    ASSERT_TRUE(url.has_value()) << "no pairing QR code on the screen";
    const std::string pin = pinOf(*url);
    ASSERT_EQ(pin.size(), 4u) << *url;
    EXPECT_EQ(argumentsOf(*engine), (std::vector<std::string>{"--pin", pin}));
    EXPECT_TRUE(pairs(pin));

    ASSERT_EQ(::kill(*engine, SIGKILL), 0);
    const auto killed = Clock::now();
    const std::optional<pid_t> next = s.waitForEngine(2s, *engine);
    ASSERT_TRUE(next.has_value()) << "no new engine within 2 s";
    RecordProperty("relaunch_ms",
                   int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count()));
    EXPECT_EQ(argumentsOf(*next), (std::vector<std::string>{"--pin", pin}));
    EXPECT_TRUE(pairs(pin));
    EXPECT_EQ(s.shownPairingURL(5s, "e2e-relaunch-screen.png"), url);
}

TEST(TarnwellE2E, QuitFromTheTrayMenuWithdrawsTheServiceEndsTheEngineAndExitsZero) {
    TarnwellSession s({.tray = true});
    ASSERT_TRUE(s.ready());
    const std::optional<pid_t> engine = s.waitForEngine(10s);
    ASSERT_TRUE(engine.has_value());
    ASSERT_TRUE(s.waitForAdvertised(1, 10s));
    SignalTrace trace(*engine);
    ASSERT_TRUE(trace.attached());

    ASSERT_TRUE(s.quitFromTrayMenu());
    expectCleanQuit(s, *engine, trace);
}

TEST(TarnwellE2E, CtrlQInTheWindowQuitsTheSameWay) {
    TarnwellSession s({});
    ASSERT_TRUE(s.ready());
    const std::optional<pid_t> engine = s.waitForEngine(10s);
    ASSERT_TRUE(engine.has_value());
    ASSERT_TRUE(s.waitForAdvertised(1, 10s));
    ASSERT_TRUE(s.shownPairingURL(10s, "e2e-ctrl-q-screen.png").has_value());  // the window is up
    SignalTrace trace(*engine);
    ASSERT_TRUE(trace.attached());

    const std::vector<Window> windows = tarnwellWindows();
    ASSERT_EQ(windows.size(), 1u);
    ASSERT_EQ(run("xdotool windowfocus --sync " + std::to_string(windows[0].id) + " key ctrl+q").status, 0);
    expectCleanQuit(s, *engine, trace);
}

class TerminationSignalE2E : public ::testing::TestWithParam<int> {};

TEST_P(TerminationSignalE2E, ASignalQuitsLikeTheMenu) {
    TarnwellSession s({});
    ASSERT_TRUE(s.ready());
    const std::optional<pid_t> engine = s.waitForEngine(10s);
    ASSERT_TRUE(engine.has_value());
    ASSERT_TRUE(s.waitForAdvertised(1, 10s));
    SignalTrace trace(*engine);
    ASSERT_TRUE(trace.attached());

    s.app().signal(GetParam());
    expectCleanQuit(s, *engine, trace);
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignalE2E, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return std::string(p.param == SIGTERM  ? "SIGTERM"
                                                : p.param == SIGINT ? "SIGINT"
                                                                    : "SIGHUP");
                         });

TEST(TarnwellE2E, KillingTheApplicationOutrightEndsTheEngineToo) {
    TarnwellSession s({});
    ASSERT_TRUE(s.ready());
    const std::optional<pid_t> engine = s.waitForEngine(10s);
    ASSERT_TRUE(engine.has_value());
    ASSERT_TRUE(pairs(argumentsOf(*engine).back()));

    s.app().signal(SIGKILL);
    EXPECT_EQ(s.app().waitForExit(5s), 128 + SIGKILL);
    const auto deadline = Clock::now() + 2s;
    while (isLive(*engine) && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(isLive(*engine)) << "the engine outlived Tarnwell";
    testsupport::TcpClient client;
    EXPECT_FALSE(client.connect(47811)) << "the control port is still held";
}

TEST(TarnwellE2E, ASecondStartReopensTheClosedWindowInsteadOfStartingASecondEngine) {
    TarnwellSession s({});
    ASSERT_TRUE(s.ready());
    const std::optional<pid_t> engine = s.waitForEngine(10s);
    ASSERT_TRUE(engine.has_value());
    const std::optional<std::string> url = s.shownPairingURL(10s, "e2e-before-close-screen.png");
    ASSERT_TRUE(url.has_value());
    std::vector<Window> windows = tarnwellWindows();
    ASSERT_EQ(windows.size(), 1u);

    ASSERT_TRUE(closeWindow(windows[0].id, 10s));
    EXPECT_TRUE(isLive(*engine));  // closing the window keeps the engine and the service
    EXPECT_TRUE(s.waitForAdvertised(1, 5s));

    testsupport::ChildProcess second(tarnwellPath(), {});
    EXPECT_EQ(second.waitForExit(10s), 0) << second.err();
    EXPECT_EQ(s.shownPairingURL(10s, "e2e-reopened-screen.png"), url);
    EXPECT_EQ(tarnwellWindows().size(), 1u);
    EXPECT_EQ(childrenRunning(s.pid(), testsupport::enginePath()), std::vector<pid_t>{*engine});
}

}  // namespace
