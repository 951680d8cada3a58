// Kills the engine again and again under the application's EngineController and
// checks each relaunch: within 1.5 s, with the same PIN, never two engines at
// once, no zombie left behind. Run inside the test sandbox (its own PID space).
//
//   soak_restarts KILLS ENGINE_PATH
//
// Prints one line of JSON; exits 1 when a check fails.
#include <signal.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine_controller.h"
#include "process_table.h"

namespace {

struct ProcessCensus {
    int engines = 0;
    int zombies = 0;
};

// Every process of the sandbox's PID namespace: engines by executable, zombies by state.
ProcessCensus census(const std::string& enginePath) {
    ProcessCensus c;
    for (const testsupport::ProcessInfo& p : testsupport::allProcesses()) {
        if (p.state == 'Z') {
            ++c.zombies;
        } else if (p.exe == enginePath) {
            ++c.engines;
        }
    }
    return c;
}

// The engine's command line once it has finished starting: right after the
// controller's start() returns, the child may still be inside execve.
std::string commandLine(qint64 pid, const std::string& enginePath) {
    const std::optional<testsupport::ProcessInfo> p =
        testsupport::waitObservable(static_cast<pid_t>(pid), enginePath);
    std::string text;
    for (const std::string& arg : p ? p->argv : std::vector<std::string>{})
        text += arg + " ";
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: soak_restarts KILLS ENGINE_PATH\n");
        return 2;
    }
    const int kills = std::atoi(argv[1]);
    const std::string enginePath = std::filesystem::canonical(argv[2]).string();

    EngineController::Options options;
    options.engineDirectory = QFileInfo(QString::fromStdString(enginePath)).absolutePath();
    EngineController controller(options);
    controller.start();
    const QString pin = controller.pin();
    const std::string expectedArgs = enginePath + " --pin " + pin.toStdString() + " ";

    int maxEngines = 0;
    int maxZombies = 0;
    int slowRelaunches = 0;
    int wrongPin = 0;
    qint64 maxRelaunchMs = 0;
    int done = 0;
    for (; done < kills; ++done) {
        const qint64 victim = controller.enginePid();
        if (victim <= 0 || commandLine(victim, enginePath) != expectedArgs) {
            ++wrongPin;
            break;
        }
        // Let the engine settle so the kill hits a running engine, not a starting one.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 50)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);

        ::kill(static_cast<pid_t>(victim), SIGKILL);
        QElapsedTimer timer;
        timer.start();
        qint64 relaunched = 0;
        while (timer.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            const ProcessCensus c = census(enginePath);
            maxEngines = std::max(maxEngines, c.engines);
            const qint64 now = controller.enginePid();
            if (now > 0 && now != victim && controller.state().kind() == EngineState::Kind::Running) {
                relaunched = now;
                break;
            }
            QThread::msleep(2);
        }
        const qint64 ms = timer.elapsed();
        maxRelaunchMs = std::max(maxRelaunchMs, ms);
        if (relaunched == 0 || ms > 1500) ++slowRelaunches;
        if (relaunched == 0) break;
        if (commandLine(relaunched, enginePath) != expectedArgs) ++wrongPin;
        maxZombies = std::max(maxZombies, census(enginePath).zombies);
    }
    controller.terminateOnQuit();
    QElapsedTimer drain;
    drain.start();
    // The controller reaps the last engine once it has exited.
    while (drain.elapsed() < 3000 && (census(enginePath).engines > 0 || census(enginePath).zombies > 0)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    const ProcessCensus end = census(enginePath);
    maxZombies = std::max(maxZombies, end.zombies);
    const bool pass = done == kills && slowRelaunches == 0 && wrongPin == 0 && maxEngines <= 1 &&
                      maxZombies == 0 && end.engines == 0;
    std::printf(
        "{\"run\":\"restarts\",\"kills\":%d,\"max_relaunch_ms\":%lld,\"slow_relaunches\":%d,\"same_pin\":%s,"
        "\"max_engines\":%d,\"zombies\":%d,\"engines_left\":%d,\"pass\":%s}\n",
        done, static_cast<long long>(maxRelaunchMs), slowRelaunches, wrongPin == 0 ? "true" : "false",
        maxEngines, maxZombies, end.engines, pass ? "true" : "false");
    return pass ? 0 : 1;
}
