#include "process_supervisor.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <csignal>

#include "system_log.h"

QString ProcessSupervisor::resourceDirectory() {
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../libexec/tarnwell"));
}

QString ProcessSupervisor::restartLogLine(const QString& what, qint64 attempt,
                                          std::chrono::milliseconds delay) {
    QString seconds = QString::number(static_cast<double>(delay.count()) / 1000.0, 'g', 12);
    if (!seconds.contains(QLatin1Char('.')) && !seconds.contains(QLatin1Char('e')))
        seconds += QStringLiteral(".0");
    return QStringLiteral("%1 terminated unexpectedly \u2014 auto-restart attempt %2 in %3s")
        .arg(what)
        .arg(attempt)
        .arg(seconds);
}

ProcessSupervisor::ProcessSupervisor(QString program, QStringList arguments, QString logName, Options options,
                                     Output output, QObject* parent)
    : QObject(parent),
      program_(std::move(program)),
      arguments_(std::move(arguments)),
      logName_(std::move(logName)),
      directory_(options.directory.isEmpty() ? resourceDirectory() : options.directory),
      restartDelay_(options.restartDelay),
      standardInput_(std::move(options.standardInput)),
      outputLines_(options.outputLines),
      output_(output) {}

ProcessSupervisor::~ProcessSupervisor() {
    reapDetached(/*includingSupervised=*/true);
}

std::optional<QString> ProcessSupervisor::locate() const {
    const QFileInfo info(directory_ + QLatin1Char('/') + program_);
    if (!info.exists() || info.isDir()) return std::nullopt;
    return info.absoluteFilePath();
}

qint64 ProcessSupervisor::pid() const {
    return process_ ? process_->processId() : 0;
}

void ProcessSupervisor::start() {
    intentionallyStopped_ = false;
    if (process_) return;
    const std::optional<QString> path = locate();
    if (!path) {
        Q_EMIT missing();
        return;
    }
    reapDetached(/*includingSupervised=*/false);
    launch(*path);
}

void ProcessSupervisor::launch(const QString& path) {
    auto* process = new QProcess(this);
    process->setProgram(path);
    process->setArguments(arguments_);
    if (!outputLines_) process->setStandardOutputFile(QProcess::nullDevice());
    if (output_ == Output::discard) process->setStandardErrorFile(QProcess::nullDevice());
    if (standardInput_.isEmpty()) process->setInputChannelMode(QProcess::ForwardedInputChannel);
    // Runs in the child between fork and exec: the child must not outlive the
    // application, even when the application is killed. The signal is tied to the
    // forking thread, which is the main thread and lives as long as the process.
    const pid_t parent = getpid();
    process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);  // the parent died before prctl
    });
    connect(process, &QProcess::finished, this, [this, process](int exitCode, QProcess::ExitStatus status) {
        onFinished(process, exitCode, status);
    });
    if (output_ == Output::logErrors)
        connect(process, &QProcess::readyReadStandardError, this, [this, process] { readErrors(process); });
    if (outputLines_)
        connect(process, &QProcess::readyReadStandardOutput, this, [this, process] { readOutput(process); });

    process->start();
    if (process->waitForStarted()) {
        if (!standardInput_.isEmpty()) {
            process->write(standardInput_);  // sent from the event loop; the end follows the bytes
            process->closeWriteChannel();
        }
        process_ = process;
        restartAttempts_ = 0;
        Q_EMIT launched();
        return;
    }
    const QString error = process->errorString();
    delete process;
    process_ = nullptr;
    Q_EMIT launchFailed(error);
    if (!intentionallyStopped_) scheduleRestart();
}

// QProcess reads lines from one channel at a time: each reader picks its own.
void ProcessSupervisor::readErrors(QProcess* process) {
    process->setCurrentReadChannel(QProcess::StandardError);
    while (process->canReadLine()) {
        const QString line = QString::fromUtf8(process->readLine()).trimmed();
        SystemLog::write(line);
        Q_EMIT errorLine(line);
    }
}

void ProcessSupervisor::readOutput(QProcess* process) {
    process->setCurrentReadChannel(QProcess::StandardOutput);
    while (process->canReadLine()) {
        const QString line = QString::fromUtf8(process->readLine()).trimmed();
        Q_EMIT outputLine(line);
    }
}

void ProcessSupervisor::onFinished(QProcess* process, int exitCode, int exitStatus) {
    process->deleteLater();
    if (outputLines_) readOutput(process);
    if (output_ == Output::logErrors) readErrors(process);
    // A child that stop() detached changes nothing.
    if (process != process_) return;
    process_ = nullptr;
    Q_EMIT exited(exitCode, exitStatus == QProcess::NormalExit);
    if (!intentionallyStopped_) scheduleRestart();
}

void ProcessSupervisor::scheduleRestart() {
    ++restartAttempts_;
    SystemLog::write(restartLogLine(logName_, restartAttempts_, restartDelay_));
    QTimer::singleShot(restartDelay_, Qt::PreciseTimer, this, [this] {
        if (!intentionallyStopped_ && !process_) start();
    });
}

void ProcessSupervisor::reapDetached(bool includingSupervised) {
    const auto processes = findChildren<QProcess*>(Qt::FindDirectChildrenOnly);
    for (QProcess* p : processes) {
        if (p->state() == QProcess::NotRunning || (p == process_ && !includingSupervised)) continue;
        if (includingSupervised) p->disconnect(this);  // no handling inside the destructor
        if (p == process_) p->terminate();             // detached ones were sent SIGTERM already
        if (!p->waitForFinished(static_cast<int>(kLingerWait.count()))) {
            p->kill();
            p->waitForFinished(static_cast<int>(kLingerWait.count()));
        }
    }
}

bool ProcessSupervisor::stop() {
    intentionallyStopped_ = true;
    if (!process_) return false;
    QProcess* process = process_;
    process_ = nullptr;
    if (process->state() != QProcess::NotRunning) process->terminate();
    return true;
}
