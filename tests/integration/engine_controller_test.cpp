// The engine controller against stand-in engines (shell scripts in a temporary
// resource folder, with a short restart backoff) and against the real engine
// with the real one-second rule.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>

#include <fstream>

#include "engine_controller.h"
#include "net_client.h"
#include "services_fixture.h"

namespace {

using namespace servicestest;
using Kind = EngineState::Kind;

constexpr auto kBackoff = 50ms;

// Every stand-in appends "<pid> <arguments>" to <dir>/launches when it starts.
const char kExit0[] = "exit 0\n";
const char kExit3[] = "exit 3\n";
const char kKillSelf[] = "kill -KILL $$\n";
// Runs until SIGTERM, which it records in <dir>/terms; prints on both streams.
const char kRunUntilTerm[] =
    "echo some output; echo some error >&2\n"
    "trap 'echo TERM >> \"$D/terms\"; kill $child; exit 0' TERM\n"
    "sleep 60 & child=$!\n"
    "wait $child\n";

class EngineControllerTest : public ::testing::Test {
protected:
    QString dir() const { return tmp.path(); }
    std::string path(const char* name) const {
        return (tmp.path() + QLatin1Char('/') + QLatin1String(name)).toStdString();
    }

    void writeStandIn(const std::string& body, bool executable = true) {
        const std::string file = path(EngineController::kEngineName);
        std::ofstream out(file);
        out << "#!/bin/sh\nD=" << shellQuote(dir().toStdString()) << "\necho \"$$ $*\" >> \"$D/launches\"\n"
            << body;
        out.close();
        QFile::setPermissions(QString::fromStdString(file),
                              executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                         : QFile::ReadOwner | QFile::WriteOwner);
    }

    std::unique_ptr<EngineController> controller(std::chrono::milliseconds backoff = kBackoff,
                                                 Pin::Random random = {}) {
        EngineController::Options options;
        options.engineDirectory = dir();
        options.restartBackoff = backoff;
        options.random = std::move(random);
        return std::make_unique<EngineController>(options);
    }

    std::vector<std::string> lines(const char* name) const {
        std::ifstream in(path(name));
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    size_t launches() const { return lines("launches").size(); }
    size_t terms() const { return lines("terms").size(); }

    static std::vector<EngineState> states(const QSignalSpy& spy) {
        std::vector<EngineState> out;
        for (const QList<QVariant>& args : spy)
            out.push_back(args.at(0).value<EngineState>());
        return out;
    }

    std::string restartLine(int attempt) const {
        return "Sonvale: " + EngineController::restartLogLine(attempt, kBackoff).toStdString();
    }

    QTemporaryDir tmp;
    LogCapture log;
};

TEST_F(EngineControllerTest, LooksForTheEngineInItsResourceFolderOnEveryStart) {
    auto c = controller();
    EXPECT_EQ(c->state(), EngineState::missing());
    QSignalSpy spy(c.get(), &EngineController::stateChanged);
    c->start();
    ASSERT_EQ(states(spy), std::vector{EngineState::missing()});  // announced again, although unchanged
    spin(kBackoff * 4);
    EXPECT_EQ(launches(), 0u);
    EXPECT_TRUE(log.lines().empty());  // no restart follows a missing engine

    writeStandIn(kRunUntilTerm);
    c->start();
    EXPECT_EQ(c->state(), EngineState::running());
    EXPECT_TRUE(waitUntil([&] { return launches() == 1; }));

    auto found = controller();
    EXPECT_EQ(found->state(), EngineState::stopped());
}

TEST_F(EngineControllerTest, StartLaunchesOneEngineWithThePinAndDiscardsItsOutput) {
    writeStandIn(kRunUntilTerm);
    auto c = controller();
    const QString pin = c->pin();
    ASSERT_EQ(pin.size(), 4);
    for (QChar ch : pin)
        EXPECT_TRUE(ch.isDigit());

    QSignalSpy spy(c.get(), &EngineController::stateChanged);
    c->start();
    c->start();  // already running: nothing more
    EXPECT_EQ(states(spy), std::vector{EngineState::running()});
    ASSERT_TRUE(waitUntil([&] { return launches() == 1; }));
    const qint64 pid = c->enginePid();
    EXPECT_EQ(lines("launches")[0], std::to_string(pid) + " --pin " + pin.toStdString());
    for (int fd : {1, 2}) {
        const QString link = QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd));
        EXPECT_EQ(link, QStringLiteral("/dev/null")) << "fd " << fd;
    }
    spin(kBackoff * 4);
    EXPECT_EQ(launches(), 1u);
    EXPECT_EQ(c->pin(), pin);
}

TEST_F(EngineControllerTest, PinKeepsItsLeadingZeros) {
    writeStandIn(kRunUntilTerm);
    auto c = controller(kBackoff, [] { return 10042u; });
    EXPECT_EQ(c->pin(), QStringLiteral("0042"));
    c->start();
    ASSERT_TRUE(waitUntil([&] { return launches() == 1; }));
    EXPECT_EQ(lines("launches")[0], std::to_string(c->enginePid()) + " --pin 0042");
}

TEST_F(EngineControllerTest, EveryUnexpectedExitIsFollowedByARelaunchWithTheSamePin) {
    struct Case {
        const char* body;
        EngineState afterExit;
    };
    const Case cases[] = {
        {kExit0, EngineState::stopped()},
        {kExit3, EngineState::failed(QStringLiteral("Engine exited (code 3)"))},
        {kKillSelf, EngineState::stopped()},  // death by a signal
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.body);
        QFile::remove(QString::fromStdString(path("launches")));
        writeStandIn(k.body);
        auto c = controller();
        QSignalSpy spy(c.get(), &EngineController::stateChanged);
        const size_t linesBefore = log.lines().size();
        c->start();
        ASSERT_TRUE(waitUntil([&] { return launches() >= 3; }));
        c->stop();
        const std::vector<EngineState> seen = states(spy);
        ASSERT_GE(seen.size(), 4u);
        EXPECT_EQ(seen[0], EngineState::running());
        EXPECT_EQ(seen[1], k.afterExit);
        EXPECT_EQ(seen[2], EngineState::running());
        EXPECT_EQ(seen[3], k.afterExit);
        for (const std::string& launch : lines("launches"))
            EXPECT_EQ(launch.substr(launch.find(' ')), " --pin " + c->pin().toStdString());
        // Each launch succeeded, so every line says attempt 1.
        const std::vector<std::string> all = log.lines();
        ASSERT_GE(all.size() - linesBefore, 2u);
        for (size_t i = linesBefore; i < all.size(); ++i)
            EXPECT_EQ(all[i], restartLine(1));
    }
}

TEST_F(EngineControllerTest, ALaunchFailureIsRetriedWithCountingAttempts) {
    writeStandIn(kExit0, /*executable=*/false);
    auto c = controller();
    ASSERT_EQ(c->state(), EngineState::stopped());
    c->start();
    ASSERT_EQ(c->state().kind(), Kind::Failed);
    EXPECT_FALSE(c->state().message().isEmpty());
    EXPECT_FALSE(c->state().message().startsWith(QStringLiteral("Engine exited")));
    ASSERT_TRUE(waitUntil([&] { return log.lines().size() >= 3; }));
    c->stop();
    const std::vector<std::string> all = log.lines();
    EXPECT_EQ(all[0], restartLine(1));
    EXPECT_EQ(all[1], restartLine(2));
    EXPECT_EQ(all[2], restartLine(3));
    EXPECT_EQ(c->state().kind(), Kind::Failed);  // stop() leaves a failed state alone
    const size_t count = log.lines().size();
    spin(kBackoff * 4);
    EXPECT_EQ(log.lines().size(), count);
    EXPECT_EQ(launches(), 0u);

    writeStandIn(kRunUntilTerm);  // the cause is gone: the next start works
    c->start();
    EXPECT_EQ(c->state(), EngineState::running());
}

TEST_F(EngineControllerTest, StopSendsSigtermAndNothingRestarts) {
    writeStandIn(kRunUntilTerm);
    auto c = controller();
    c->start();
    ASSERT_TRUE(waitUntil([&] { return launches() == 1; }));
    QSignalSpy spy(c.get(), &EngineController::stateChanged);
    c->stop();
    EXPECT_EQ(states(spy), std::vector{EngineState::stopped()});
    EXPECT_EQ(c->enginePid(), 0);
    EXPECT_TRUE(waitUntil([&] { return terms() == 1; }));
    spin(kBackoff * 6);  // the engine's exit is ignored
    EXPECT_EQ(states(spy), std::vector{EngineState::stopped()});
    EXPECT_EQ(launches(), 1u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(EngineControllerTest, StopDuringAPendingRestartCancelsIt) {
    writeStandIn(kExit3);
    auto c = controller(300ms);
    c->start();
    ASSERT_TRUE(waitUntil([&] { return c->state().kind() == Kind::Failed; }));
    QSignalSpy spy(c.get(), &EngineController::stateChanged);
    c->stop();
    EXPECT_TRUE(spy.isEmpty());  // no engine and not running: failed stays
    spin(600ms);
    EXPECT_EQ(launches(), 1u);
    EXPECT_EQ(log.lines(),
              std::vector{"Sonvale: " + EngineController::restartLogLine(1, 300ms).toStdString()});
}

TEST_F(EngineControllerTest, AUserStartDuringAPendingRestartLaunchesOnce) {
    // The first launch fails at start-up; later ones run.
    writeStandIn(std::string("[ \"$(wc -l < \"$D/launches\")\" -le 1 ] && exit 1\n") + kRunUntilTerm);
    auto c = controller(300ms);
    c->start();
    ASSERT_TRUE(waitUntil(
        [&] { return c->state() == EngineState::failed(QStringLiteral("Engine exited (code 1)")); }));
    c->start();  // at once, while the restart is pending
    EXPECT_EQ(c->state(), EngineState::running());
    spin(600ms);  // the pending restart finds an engine and does nothing
    EXPECT_EQ(launches(), 2u);
    EXPECT_EQ(c->state(), EngineState::running());
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(EngineControllerTest, AnEngineThatVanishedIsMissingAfterItsExit) {
    writeStandIn(kRunUntilTerm);
    auto c = controller();
    c->start();
    ASSERT_TRUE(waitUntil([&] { return launches() == 1; }));
    ASSERT_TRUE(QFile::remove(QString::fromStdString(path(EngineController::kEngineName))));
    ::kill(static_cast<pid_t>(c->enginePid()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return c->state() == EngineState::missing(); }));
    spin(kBackoff * 6);
    EXPECT_EQ(c->state(), EngineState::missing());
    EXPECT_EQ(log.lines(), std::vector{restartLine(1)});
    EXPECT_EQ(launches(), 1u);
}

TEST_F(EngineControllerTest, QuittingSendsSigtermAndNothingRelaunches) {
    writeStandIn(kRunUntilTerm);
    auto c = controller();
    c->start();
    ASSERT_TRUE(waitUntil([&] { return launches() == 1; }));
    QSignalSpy spy(c.get(), &EngineController::stateChanged);
    c->terminateOnQuit();
    EXPECT_TRUE(waitUntil([&] { return terms() == 1; }));
    spin(kBackoff * 6);
    EXPECT_TRUE(spy.isEmpty());  // the state is left as it was
    EXPECT_EQ(launches(), 1u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(EngineControllerTest, DestroyingTheControllerEndsItsEngine) {
    writeStandIn(kRunUntilTerm);
    auto c = controller();
    c->start();
    ASSERT_TRUE(waitUntil([&] { return launches() == 1; }));
    const pid_t pid = static_cast<pid_t>(c->enginePid());
    c.reset();
    EXPECT_EQ(terms(), 1u);
    EXPECT_NE(::kill(pid, 0), 0);  // gone and reaped
}

TEST(EngineControllerText, RestartLineHasAtLeastOneDecimal) {
    EXPECT_EQ(EngineController::restartLogLine(1, 1000ms),
              QStringLiteral("engine terminated unexpectedly \u2014 auto-restart attempt 1 in 1.0s"));
    EXPECT_EQ(EngineController::restartLogLine(12, 1500ms),
              QStringLiteral("engine terminated unexpectedly \u2014 auto-restart attempt 12 in 1.5s"));
    EXPECT_EQ(EngineController::restartLogLine(3, 50ms),
              QStringLiteral("engine terminated unexpectedly \u2014 auto-restart attempt 3 in 0.05s"));
}

// The real engine, found next to the test binary as the application finds it.
class RealEngineTest : public ::testing::Test {
protected:
    static bool helloAccepted(const QString& pin) {
        testsupport::TcpClient client;
        if (!client.connectWithin(47811, 5s)) return false;
        client.send("{\"t\":\"hello\",\"pin\":\"" + pin.toStdString() + "\"}\n");
        return client.readLine(5s) == std::optional<std::string>("{\"t\":\"hello_ok\"}");
    }
    static int engines() { return countProcesses(testsupport::enginePath()).live; }

    LogCapture log;
};

TEST_F(RealEngineTest, RelaunchesOneSecondAfterSigkillWithTheSamePin) {
    EXPECT_EQ(EngineController::defaultEngineDirectory().toStdString() + "/sonvale-engine",
              testsupport::enginePath());
    EngineController c;
    ASSERT_EQ(c.state(), EngineState::stopped());
    c.start();
    ASSERT_EQ(c.state(), EngineState::running());
    ASSERT_TRUE(helloAccepted(c.pin()));
    const qint64 first = c.enginePid();

    ::kill(static_cast<pid_t>(first), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return c.state() == EngineState::stopped(); }, 5s));
    const auto exited = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil([&] { return c.state() == EngineState::running(); }, 5s));
    const auto waited = std::chrono::steady_clock::now() - exited;
    RecordProperty("relaunch_ms", int(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
    EXPECT_GE(waited, 950ms);
    EXPECT_LT(waited, 3s);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "Sonvale: engine terminated unexpectedly \u2014 auto-restart attempt 1 in 1.0s"});
    EXPECT_NE(c.enginePid(), first);
    EXPECT_TRUE(helloAccepted(c.pin()));
    EXPECT_EQ(engines(), 1);

    const pid_t second = static_cast<pid_t>(c.enginePid());
    c.terminateOnQuit();  // SIGTERM: the engine leaves its loop and exits
    EXPECT_TRUE(waitUntil([&] { return ::kill(second, 0) != 0; }, 5s));
    spin(1500ms);
    EXPECT_EQ(engines(), 0);
    EXPECT_EQ(countProcesses(testsupport::enginePath()).zombies, 0);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(RealEngineTest, TheEngineEndsWhenTheApplicationIsKilled) {
    QProcess application;  // this binary, playing the application
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TARNWELL_TEST_SUPERVISE_ENGINE"), QStringLiteral("1"));
    application.setProcessEnvironment(env);
    application.start(QCoreApplication::applicationFilePath(), {});
    ASSERT_TRUE(application.waitForReadyRead(10000));
    const QByteArray line = application.readLine().trimmed();
    ASSERT_TRUE(line.startsWith("engine ")) << line.toStdString();
    const pid_t engine = static_cast<pid_t>(line.mid(7).toLongLong());
    ASSERT_GT(engine, 0);
    testsupport::TcpClient probe;
    ASSERT_TRUE(probe.connectWithin(47811, 5s));  // the engine is up
    EXPECT_EQ(engines(), 1);

    application.kill();  // SIGKILL: no chance to end the engine itself
    application.waitForFinished();
    EXPECT_TRUE(waitUntil([] { return engines() == 0; }, 5s));
}

TEST_F(RealEngineTest, AStartUpFailureShowsTheExitCodeAndIsRetried) {
    // Port 47810 taken: the engine exits with status 1 at start-up.
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(47810);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    EngineController::Options options;
    options.restartBackoff = 100ms;
    EngineController c(options);
    c.start();
    ASSERT_TRUE(waitUntil([&] { return log.lines().size() >= 3; }));
    EXPECT_EQ(c.state(), EngineState::failed(QStringLiteral("Engine exited (code 1)")));
    for (const std::string& line : log.lines())
        EXPECT_EQ(line, "Sonvale: " + EngineController::restartLogLine(1, 100ms).toStdString());

    ::close(blocker);
    // The relaunch needs the event loop: probe without blocking until it listens.
    ASSERT_TRUE(waitUntil([&] {
        testsupport::TcpClient probe;
        return c.state() == EngineState::running() && probe.connect(47811);
    }));
    EXPECT_TRUE(helloAccepted(c.pin()));
    EXPECT_EQ(c.state(), EngineState::running());
    EXPECT_EQ(engines(), 1);
}

TEST_F(RealEngineTest, StopThenStartAtOnceRunsOneEngine) {
    EngineController c;
    c.start();
    ASSERT_TRUE(helloAccepted(c.pin()));
    c.stop();
    c.start();  // the stopped engine still holds the ports for a moment
    EXPECT_EQ(c.state(), EngineState::running());
    EXPECT_EQ(engines(), 1);
    spin(500ms);
    EXPECT_EQ(c.state(), EngineState::running());
    EXPECT_TRUE(helloAccepted(c.pin()));
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
