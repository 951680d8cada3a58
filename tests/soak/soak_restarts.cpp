// Kills the engine again and again under the application's EngineController and
// checks each relaunch: within MAX_RELAUNCH_MS (5000 unless given; `make soak`
// asks for 1500, which needs an otherwise idle machine), with the same PIN,
// never two engines at once, no zombie left behind. Run inside the test sandbox
// (its own PID space).
//
//   soak_restarts KILLS ENGINE_PATH [MAX_RELAUNCH_MS]
//
// Prints one line of JSON; exits 1 when a check fails.
#include <signal.h>

#include <QElapsedTimer>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "engine_controller.h"
#include "process_table.h"
#include "qt_wait.h"

namespace {

using namespace std::chrono_literals;

// Engines running and engines left as zombies in the sandbox's PID namespace.
std::pair<int, int> census(const std::string& enginePath) {
    std::pair<int, int> c;
    for (const testsupport::ProcessInfo& p : testsupport::processesOf(enginePath))
        ++(p.state == 'Z' ? c.second : c.first);
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: soak_restarts KILLS ENGINE_PATH [MAX_RELAUNCH_MS]\n");
        return 2;
    }
    const int kills = std::atoi(argv[1]);
    const qint64 allowedMs = argc == 4 ? std::atoll(argv[3]) : 5000;
    const std::string enginePath = std::filesystem::canonical(argv[2]).string();

    EngineController::Options options;
    options.engineDirectory = QFileInfo(QString::fromStdString(enginePath)).absolutePath();
    EngineController controller(options);
    controller.start();
    const std::vector<std::string> expectedArgs{enginePath, "--pin", controller.pin().toStdString()};
    // The engine's command line once it has finished starting: right after the
    // controller's start() returns, the child may still be inside execve.
    const auto samePin = [&](qint64 pid) {
        const auto p = testsupport::waitObservable(static_cast<pid_t>(pid), enginePath);
        return p && p->argv == expectedArgs;
    };

    int maxEngines = 0, maxZombies = 0, slow = 0, done = 0;
    bool pinKept = true;
    qint64 maxRelaunchMs = 0;
    for (; done < kills; ++done) {
        const qint64 victim = controller.enginePid();
        if (victim <= 0 || !(pinKept = samePin(victim))) break;
        ::kill(static_cast<pid_t>(victim), SIGKILL);
        QElapsedTimer timer;
        timer.start();
        const bool relaunched = testsupport::pumpUntil(
            [&] {
                maxEngines = std::max(maxEngines, census(enginePath).first);
                const qint64 now = controller.enginePid();
                return now > 0 && now != victim && controller.state().kind() == EngineState::Kind::Running;
            },
            5s);
        maxRelaunchMs = std::max(maxRelaunchMs, timer.elapsed());
        slow += !relaunched || timer.elapsed() > allowedMs;
        if (!relaunched || !(pinKept = samePin(controller.enginePid()))) break;
        maxZombies = std::max(maxZombies, census(enginePath).second);
    }
    controller.terminateOnQuit();
    // The controller reaps the last engine once it has exited.
    testsupport::pumpUntil([&] { return census(enginePath) == std::pair(0, 0); }, 3s);
    const auto [enginesLeft, zombies] = census(enginePath);
    maxZombies = std::max(maxZombies, zombies);
    const bool pass =
        done == kills && slow == 0 && pinKept && maxEngines <= 1 && maxZombies == 0 && enginesLeft == 0;
    std::printf(
        "{\"run\":\"restarts\",\"kills\":%d,\"max_relaunch_ms\":%lld,\"slow_relaunches\":%d,\"same_pin\":%s,"
        "\"max_engines\":%d,\"zombies\":%d,\"engines_left\":%d,\"pass\":%s}\n",
        done, static_cast<long long>(maxRelaunchMs), slow, pinKept ? "true" : "false", maxEngines, maxZombies,
        enginesLeft, pass ? "true" : "false");
    return pass ? 0 : 1;
}
