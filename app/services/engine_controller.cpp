#include "engine_controller.h"

namespace {
// What the relaunch log line calls the engine.
const QString kLogName = QStringLiteral("engine");
}  // namespace

EngineController::EngineController(QObject* parent) : EngineController(Options{}, parent) {}

EngineController::EngineController(Options options, QObject* parent)
    : QObject(parent),
      pin_(Pin::generate(options.random)),
      supervisor_(QLatin1String(kEngineName), {QStringLiteral("--pin"), pin_}, kLogName,
                  {options.engineDirectory, options.restartBackoff}) {
    if (!supervisor_.locate()) state_ = State::missing();
    connect(&supervisor_, &ProcessSupervisor::launched, this, [this] { setState(State::running()); });
    connect(&supervisor_, &ProcessSupervisor::launchFailed, this,
            [this](const QString& error) { setState(State::failed(error)); });
    connect(&supervisor_, &ProcessSupervisor::missing, this, [this] { setState(State::missing()); });
    connect(&supervisor_, &ProcessSupervisor::exited, this, &EngineController::onExited);
}

QString EngineController::restartLogLine(qint64 attempt, std::chrono::milliseconds backoff) {
    return ProcessSupervisor::restartLogLine(kLogName, attempt, backoff);
}

void EngineController::start() {
    // After terminateOnQuit() the state still says running and nothing is launched.
    if (state_.kind() == State::Kind::Running && !supervisor_.isRunning()) return;
    supervisor_.start();
}

void EngineController::onExited(int exitCode, bool normalExit) {
    if (normalExit && exitCode != 0)
        setState(State::failed(QStringLiteral("Engine exited (code %1)").arg(exitCode)));
    else
        setState(State::stopped());
}

void EngineController::stop() {
    const bool detached = supervisor_.stop();
    // A failed or missing state without an engine stays.
    if (detached || state_.kind() == State::Kind::Running) setState(State::stopped());
}

void EngineController::terminateOnQuit() {
    supervisor_.terminateOnQuit();
}

void EngineController::setState(const State& state) {
    state_ = state;
    Q_EMIT stateChanged(state_);
}
