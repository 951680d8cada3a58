// The engine controller's rules against stand-in engines (shell scripts in a
// resource folder of their own, with a 50 ms restart delay), what the
// supervision adds for the application's helpers, then the real engine once: a
// relaunch after SIGKILL keeps the PIN, and the engine ends with the
// application.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>

#include "engine_controller.h"
#include "engine_process.h"
#include "process_table.h"
#include "services_fixture.h"
#include "sonvale_protocol.h"

namespace {

using namespace servicestest;

constexpr auto kBackoff = 50ms;

class EngineControllerTest : public ::testing::Test {
protected:
    std::unique_ptr<EngineController> controller(std::chrono::milliseconds backoff = kBackoff) {
        return std::make_unique<EngineController>(standIn.options(backoff));
    }
    static std::vector<EngineState> states(const QSignalSpy& spy) {
        std::vector<EngineState> out;
        for (const QList<QVariant>& args : spy)
            out.push_back(args.at(0).value<EngineState>());
        return out;
    }
    static std::string restartLine(qint64 attempt) {
        return "Sonvale: " + EngineController::restartLogLine(attempt, kBackoff).toStdString();
    }

    StandInEngine standIn;
    LogCapture log;
};

TEST_F(EngineControllerTest, StartLooksForTheEngineLaunchesOneWithThePinAndStopEndsIt) {
    auto c = controller();
    c->start();
    EXPECT_EQ(c->state(), EngineState::missing());
    spin(kBackoff * 4);
    EXPECT_TRUE(log.lines().empty());  // a missing engine is not retried

    standIn.write(StandInEngine::kRunUntilTerm);
    QSignalSpy spy(c.get(), &EngineController::stateChanged);
    c->start();
    c->start();  // already running: nothing more
    EXPECT_EQ(states(spy), std::vector{EngineState::running()});
    ASSERT_TRUE(waitUntil([&] { return standIn.launches() == 1; }));
    const qint64 pid = c->enginePid();
    EXPECT_EQ(standIn.lines("launches")[0], std::to_string(pid) + " --pin " + c->pin().toStdString());
    for (int fd : {1, 2})
        EXPECT_EQ(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd)),
                  QStringLiteral("/dev/null"));

    c->stop();  // SIGTERM, and nothing restarts
    EXPECT_EQ(c->state(), EngineState::stopped());
    EXPECT_TRUE(waitUntil([&] { return standIn.terms() == 1; }));
    spin(kBackoff * 6);
    EXPECT_EQ(standIn.launches(), 1u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(EngineControllerTest, EveryUnexpectedExitIsFollowedByARelaunchWithTheSamePin) {
    const struct {
        const char* body;
        EngineState afterExit;
    } cases[] = {
        {"exit 0\n", EngineState::stopped()},
        {"exit 3\n", EngineState::failed(QStringLiteral("Engine exited (code 3)"))},
        {"kill -KILL $$\n", EngineState::stopped()},  // death by a signal
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.body);
        QFile::remove(QString::fromStdString(standIn.path("launches")));
        standIn.write(k.body);
        auto c = controller();
        QSignalSpy spy(c.get(), &EngineController::stateChanged);
        const size_t linesBefore = log.lines().size();
        c->start();
        ASSERT_TRUE(waitUntil([&] { return standIn.launches() >= 3; }));
        c->stop();
        const std::vector<EngineState> seen = states(spy);
        ASSERT_GE(seen.size(), 4u);
        EXPECT_EQ(seen[0], EngineState::running());
        EXPECT_EQ(seen[1], k.afterExit);
        EXPECT_EQ(seen[2], EngineState::running());
        for (const std::string& launch : standIn.lines("launches"))
            EXPECT_EQ(launch.substr(launch.find(' ')), " --pin " + c->pin().toStdString());
        const std::vector<std::string> all = log.lines();
        for (size_t i = linesBefore; i < all.size(); ++i)
            EXPECT_EQ(all[i], restartLine(1));  // every launch succeeded: attempt 1 each time
    }
}

TEST_F(EngineControllerTest, ALaunchFailureIsRetriedWithCountingAttemptsUntilStop) {
    standIn.write("exit 0\n", /*executable=*/false);
    auto c = controller();
    c->start();
    ASSERT_EQ(c->state().kind(), EngineState::Kind::Failed);
    ASSERT_TRUE(waitUntil([&] { return log.lines().size() >= 3; }));
    c->stop();
    EXPECT_EQ(c->state().kind(), EngineState::Kind::Failed);  // stop() leaves a failed state alone
    const std::vector<std::string> all = log.lines();
    EXPECT_EQ(std::vector(all.begin(), all.begin() + 3),
              (std::vector{restartLine(1), restartLine(2), restartLine(3)}));
    spin(kBackoff * 4);
    EXPECT_EQ(log.lines().size(), all.size());
}

// (That it yields to stop is the launch failure's case above: the same pending restart.)
TEST_F(EngineControllerTest, APendingRestartYieldsToAUserStart) {
    standIn.write(StandInEngine::kRunUntilTerm);
    auto c = controller(300ms);
    c->start();
    ASSERT_TRUE(waitUntil([&] { return c->state() == EngineState::running() && standIn.launches() == 1; }));
    ::kill(static_cast<pid_t>(c->enginePid()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return c->state() == EngineState::stopped(); }));
    c->start();   // at once, while the restart is pending
    spin(600ms);  // the pending restart finds an engine and does nothing
    EXPECT_EQ(standIn.launches(), 2u);
    EXPECT_EQ(c->state(), EngineState::running());
}

// Relaunching after the delay is the engine's case (the same supervision).
TEST_F(EngineControllerTest, AHelperReadsItsInputAtEveryLaunchItsLinesAreFollowedAndItEndsAtQuitForGood) {
    standIn.write(
        "read secret; echo \"got $secret\"; echo some error >&2\n"  // the supervisor takes any program
        "sleep 60 & child=$!\nwait $child\n");
    ProcessSupervisor helper(QLatin1String(EngineController::kEngineName), {}, QStringLiteral("helper"),
                             {.directory = standIn.options().engineDirectory,
                              .restartDelay = 300ms,
                              .standardInput = "4711\n",
                              .outputLines = true},
                             ProcessSupervisor::Output::logErrors);
    QStringList output;
    QObject::connect(&helper, &ProcessSupervisor::outputLine, [&](const QString& line) { output << line; });
    helper.start();
    ASSERT_TRUE(waitUntil([&] { return log.lines().size() == 1 && output.size() == 1; }));
    EXPECT_EQ(log.lines()[0], "Sonvale: some error");  // its standard error, line by line
    EXPECT_EQ(output, QStringList{QStringLiteral("got 4711")});

    ::kill(static_cast<pid_t>(helper.pid()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return output.size() == 2; }));
    EXPECT_EQ(output[1], QStringLiteral("got 4711"));

    helper.terminateOnQuit();
    EXPECT_TRUE(waitUntil([&] { return standIn.terms() == 1; }));
    spin(600ms);
    EXPECT_EQ(standIn.launches(), 2u);
}

size_t engines() {
    return testsupport::liveCount(testsupport::enginePath());
}

TEST(RealEngine, ASigkilledEngineIsBackAfterOneSecondWithTheSamePin) {
    LogCapture log;
    EngineController c;
    c.start();
    ASSERT_EQ(c.state(), EngineState::running());
    ASSERT_TRUE(testsupport::ControlClient::pair(c.pin().toStdString()));
    const qint64 first = c.enginePid();

    ::kill(static_cast<pid_t>(first), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return c.state() == EngineState::stopped(); }));
    const auto exited = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil([&] { return c.state() == EngineState::running(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - exited, 950ms);
    EXPECT_NE(c.enginePid(), first);
    EXPECT_TRUE(
        waitUntil([&] { return testsupport::ControlClient::pair(c.pin().toStdString()).has_value(); }));
    EXPECT_EQ(engines(), 1u);

    c.stop();
    c.start();  // the stopped engine may still hold the ports: it is waited for, not doubled
    EXPECT_EQ(engines(), 1u);
    EXPECT_TRUE(
        waitUntil([&] { return testsupport::ControlClient::pair(c.pin().toStdString()).has_value(); }));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(RealEngine, TheEngineEndsWhenTheApplicationIsKilled) {
    QProcess application;  // this binary, playing the application
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TARNWELL_TEST_SUPERVISE_ENGINE"), QStringLiteral("1"));
    application.setProcessEnvironment(env);
    application.start(QCoreApplication::applicationFilePath(), {});
    ASSERT_TRUE(application.waitForReadyRead(30000));
    const auto engine = static_cast<pid_t>(application.readLine().trimmed().mid(7).toLongLong());
    ASSERT_TRUE(testsupport::waitObservable(engine, testsupport::enginePath()));
    testsupport::TcpClient probe;
    ASSERT_TRUE(probe.connectWithin(sonvale::kControlPort, 20s));  // the engine is up

    application.kill();  // SIGKILL: no chance to end the engine itself
    application.waitForFinished();
    if (waitUntil([] { return engines() == 0u; })) return;
    std::string left;  // what a live engine's state says about the missed signal
    for (const testsupport::ProcessInfo& p : testsupport::processesOf(testsupport::enginePath())) {
        QFile status(QStringLiteral("/proc/%1/status").arg(p.pid));
        if (p.state != 'Z' && status.open(QIODevice::ReadOnly)) left += status.readAll().toStdString();
    }
    FAIL() << "an engine outlived the application (launched as " << engine << "):\n" << left;
}

}  // namespace
