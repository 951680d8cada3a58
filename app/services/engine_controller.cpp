#include "engine_controller.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <csignal>

#include "system_log.h"

QString EngineController::defaultEngineDirectory() {
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../libexec/tarnwell"));
}

EngineController::EngineController(QObject* parent) : EngineController(Options{}, parent) {}

EngineController::EngineController(Options options, QObject* parent)
    : QObject(parent),
      engineDirectory_(options.engineDirectory.isEmpty() ? defaultEngineDirectory()
                                                         : options.engineDirectory),
      restartBackoff_(options.restartBackoff),
      pin_(Pin::generate(options.random)) {
    if (!locateEngine()) state_ = State::missing();
}

EngineController::~EngineController() {
    const auto processes = findChildren<QProcess*>(Qt::FindDirectChildrenOnly);
    for (QProcess* p : processes) {
        p->disconnect(this);
        if (p->state() == QProcess::NotRunning) continue;
        if (p == process_) p->terminate();  // detached ones were sent SIGTERM already
        if (!p->waitForFinished(static_cast<int>(kLingerWait.count()))) {
            p->kill();
            p->waitForFinished(static_cast<int>(kLingerWait.count()));
        }
    }
}

qint64 EngineController::enginePid() const {
    return process_ ? process_->processId() : 0;
}

QString EngineController::restartLogLine(qint64 attempt, std::chrono::milliseconds backoff) {
    QString seconds = QString::number(static_cast<double>(backoff.count()) / 1000.0, 'g', 12);
    if (!seconds.contains(QLatin1Char('.')) && !seconds.contains(QLatin1Char('e')))
        seconds += QStringLiteral(".0");
    return QStringLiteral("engine terminated unexpectedly \u2014 auto-restart attempt %1 in %2s")
        .arg(attempt)
        .arg(seconds);
}

std::optional<QString> EngineController::locateEngine() const {
    const QFileInfo info(engineDirectory_ + QLatin1Char('/') + QLatin1String(kEngineName));
    if (!info.exists() || info.isDir()) return std::nullopt;
    return info.absoluteFilePath();
}

void EngineController::start() {
    intentionallyStopped_ = false;
    if (state_.kind() == State::Kind::Running) return;
    const std::optional<QString> program = locateEngine();
    if (!program) {
        setState(State::missing());
        return;
    }
    reapDetachedEngines();
    launch(*program);
}

void EngineController::launch(const QString& program) {
    auto* process = new QProcess(this);
    process->setProgram(program);
    process->setArguments({QStringLiteral("--pin"), pin_});
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    // Runs in the child between fork and exec: the engine must not outlive the
    // application, even when the application is killed. The signal is tied to the
    // forking thread, which is the main thread and lives as long as the process.
    const pid_t parent = getpid();
    process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);  // the parent died before prctl
    });
    connect(process, &QProcess::finished, this, [this, process](int exitCode, QProcess::ExitStatus status) {
        onEngineFinished(process, exitCode, status);
    });

    process->start();
    if (process->waitForStarted()) {
        process_ = process;
        setState(State::running());
        restartAttempts_ = 0;
        return;
    }
    const QString error = process->errorString();
    delete process;
    process_ = nullptr;
    setState(State::failed(error));
    if (!intentionallyStopped_) scheduleRestart();
}

void EngineController::onEngineFinished(QProcess* process, int exitCode, int exitStatus) {
    process->deleteLater();
    // An engine that stop() or terminateOnQuit() detached changes nothing.
    if (process != process_) return;
    process_ = nullptr;
    if (exitStatus == QProcess::NormalExit && exitCode != 0)
        setState(State::failed(QStringLiteral("Engine exited (code %1)").arg(exitCode)));
    else
        setState(State::stopped());
    if (!intentionallyStopped_) scheduleRestart();
}

void EngineController::scheduleRestart() {
    ++restartAttempts_;
    SystemLog::write(restartLogLine(restartAttempts_, restartBackoff_));
    QTimer::singleShot(restartBackoff_, Qt::PreciseTimer, this, [this] {
        if (!intentionallyStopped_ && !process_) start();
    });
}

void EngineController::reapDetachedEngines() {
    const auto processes = findChildren<QProcess*>(Qt::FindDirectChildrenOnly);
    for (QProcess* p : processes) {
        if (p == process_ || p->state() == QProcess::NotRunning) continue;
        // Sent SIGTERM when it was detached; the engine leaves its loop within 20 ms.
        if (!p->waitForFinished(static_cast<int>(kLingerWait.count()))) {
            p->kill();
            p->waitForFinished(static_cast<int>(kLingerWait.count()));
        }
    }
}

void EngineController::stop() {
    intentionallyStopped_ = true;
    if (process_) {
        QProcess* process = process_;
        process_ = nullptr;
        setState(State::stopped());
        if (process->state() != QProcess::NotRunning) process->terminate();
        return;
    }
    if (state_.kind() == State::Kind::Running) setState(State::stopped());
}

void EngineController::terminateOnQuit() {
    intentionallyStopped_ = true;
    if (process_ && process_->state() != QProcess::NotRunning) process_->terminate();
    process_ = nullptr;
}

void EngineController::setState(const State& state) {
    state_ = state;
    Q_EMIT stateChanged(state_);
}
