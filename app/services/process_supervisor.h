#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

class QProcess;

// Keeps one program from the application's own resources running: launches it,
// relaunches it one restart delay after every exit that nobody asked for, and
// ends it with SIGTERM on stop() or terminateOnQuit(). The program never outlives
// the application, even one killed by SIGKILL (parent-death signal set in the
// child before exec). Its standard output is discarded, or with
// Options::outputLines each of its lines goes to outputLine(); its standard error
// is discarded too, or, with Output::logErrors, each of its lines goes to the
// system log and to errorLine(). A line is taken once its line end came; a last
// line without one is dropped. With Options::standardInput, every launch reads
// those bytes on a private pipe, then its end; otherwise the child shares the
// application's standard input.
//
// Main thread only: every member, the exit handling and the delayed relaunches
// run on the thread that owns the supervisor. Guarantees:
// - at most one child is supervised; a child that stop() detached is waited for
//   (up to kLingerWait, then killed) before a new one is launched, so two never
//   run at once;
// - a relaunch never follows stop() or terminateOnQuit(), and a pending one does
//   nothing when a child was started meanwhile;
// - every signal is emitted before the supervisor acts on the event (schedules
//   a relaunch), so an observer sees an exit before its log line.
class ProcessSupervisor : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kRestartDelay{1000};
    // How long a detached child may take to exit before a new launch kills it.
    static constexpr std::chrono::milliseconds kLingerWait{2000};

    enum class Output { discard, logErrors };

    struct Options {
        QString directory;                                       // empty: resourceDirectory(); for tests
        std::chrono::milliseconds restartDelay = kRestartDelay;  // for tests
        // For what must not show in the process table, as arguments do (a PIN).
        QByteArray standardInput{};
        bool outputLines = false;
    };

    // <folder of the running executable>/../libexec/tarnwell, cleaned: the only
    // place where the application's programs are looked for.
    static QString resourceDirectory();
    // "<what> terminated unexpectedly — auto-restart attempt N in S s" without the
    // log prefix; S has at least one decimal ("1.0").
    static QString restartLogLine(const QString& what, qint64 attempt, std::chrono::milliseconds delay);

    // program: a file name in the resource folder; logName: what the relaunch
    // log line calls it.
    ProcessSupervisor(QString program, QStringList arguments, QString logName, Options options,
                      Output output = Output::discard, QObject* parent = nullptr);
    // Ends a child that still runs (SIGTERM, then SIGKILL after kLingerWait): a
    // child cannot outlive the object that reaps it.
    ~ProcessSupervisor() override;

    // The program's path when it is among the resources.
    std::optional<QString> locate() const;
    // Clears the intentional-stop flag, then launches the program unless a child
    // is supervised. No program: missing(), no relaunch. Launch failure:
    // launchFailed(), relaunched after the delay.
    void start();
    // Suppresses relaunches and detaches the child, sending it SIGTERM without
    // waiting; returns whether there was one.
    bool stop();
    // For application exit: as stop(), for a child that nobody waits for.
    void terminateOnQuit() { stop(); }

    bool isRunning() const { return process_ != nullptr; }
    // Process id of the supervised child; 0 when none.
    qint64 pid() const;

Q_SIGNALS:
    void launched();
    void launchFailed(const QString& error);
    void missing();
    // The supervised child ended without being asked to; normalExit false: by a signal.
    void exited(int exitCode, bool normalExit);
    // One line of the child's standard error, without its line end (Output::logErrors).
    void errorLine(const QString& line);
    // One line of the child's standard output, without its line end (Options::outputLines).
    void outputLine(const QString& line);

private:
    void launch(const QString& path);
    void onFinished(QProcess* process, int exitCode, int exitStatus);
    void readErrors(QProcess* process);
    void readOutput(QProcess* process);
    void scheduleRestart();
    // Waits for the detached children (and the supervised one, sent SIGTERM) to
    // end, killing those slower than kLingerWait.
    void reapDetached(bool includingSupervised);

    QString program_;
    QStringList arguments_;
    QString logName_;
    QString directory_;
    std::chrono::milliseconds restartDelay_;
    QByteArray standardInput_;
    bool outputLines_;
    Output output_;
    QProcess* process_ = nullptr;  // the supervised child; a child of this object
    bool intentionallyStopped_ = false;
    qint64 restartAttempts_ = 0;
};
