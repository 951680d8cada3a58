#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

#include "engine_state.h"
#include "pin.h"

class QProcess;

// Supervises the engine process "sonvale-engine": owns the pairing PIN, launches
// the engine with exactly "--pin" and the PIN (its output discarded), publishes
// its state, relaunches it one second after every exit that nobody asked for and
// ends it with SIGTERM on stop() or terminateOnQuit().
//
// The engine is looked up among the application's own resources only:
// <folder of the executable>/../libexec/tarnwell/sonvale-engine, at construction
// and again on every start().
//
// Main thread only: every member, the exit handling and the delayed restarts run
// on the thread that owns the controller. Guarantees:
// - at most one engine is supervised; an engine that stop() detached is waited
//   for (up to kLingerWait, then killed) before a new one is launched, so two
//   engines never run at once;
// - a restart never follows stop() or terminateOnQuit(), and a pending restart
//   does nothing when an engine was started meanwhile;
// - the PIN never changes for the life of the controller;
// - the engine gets SIGTERM when the application dies, even by SIGKILL
//   (parent-death signal set in the child before exec).
class EngineController : public QObject {
    Q_OBJECT
    Q_PROPERTY(EngineState state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString pin READ pin CONSTANT)

public:
    using State = EngineState;

    static constexpr char kEngineName[] = "sonvale-engine";
    static constexpr std::chrono::milliseconds kRestartBackoff{1000};
    // How long a detached engine may take to exit before a new launch kills it.
    static constexpr std::chrono::milliseconds kLingerWait{2000};

    // Seams for tests; the application uses the defaults.
    struct Options {
        QString engineDirectory;  // empty: defaultEngineDirectory()
        std::chrono::milliseconds restartBackoff = kRestartBackoff;
        Pin::Random random;  // empty: the system's generator
    };

    // <folder of the running executable>/../libexec/tarnwell, cleaned.
    static QString defaultEngineDirectory();

    explicit EngineController(QObject* parent = nullptr);
    explicit EngineController(Options options, QObject* parent = nullptr);
    // Ends an engine that is still running (SIGTERM, then SIGKILL after kLingerWait):
    // a child cannot outlive the object that reaps it. The application calls
    // terminateOnQuit() first.
    ~EngineController() override;

    // Launches the engine unless the state is running. Always clears the
    // intentional-stop flag first. No executable: state missing, no retry. Launch
    // failure: state failed with the system's error text, retried after the backoff.
    void start();
    // Stops at the user's request: state stopped (a failed or missing state stays),
    // SIGTERM to the engine without waiting, no restart until the next start().
    void stop();
    // For application exit: SIGTERM to the engine, no restart; the state is unchanged.
    void terminateOnQuit();

    State state() const { return state_; }
    QString pin() const { return pin_; }
    // Process id of the supervised engine; 0 when none.
    qint64 enginePid() const;

    // "engine terminated unexpectedly — auto-restart attempt N in S s" without the
    // log prefix; S has at least one decimal ("1.0").
    static QString restartLogLine(qint64 attempt, std::chrono::milliseconds backoff);

Q_SIGNALS:
    // Sent on every assignment of the state, also when it does not change.
    void stateChanged(const EngineState& state);

private:
    std::optional<QString> locateEngine() const;
    void launch(const QString& program);
    void onEngineFinished(QProcess* process, int exitCode, int exitStatus);
    void scheduleRestart();
    void reapDetachedEngines();
    void setState(const State& state);

    QString engineDirectory_;
    std::chrono::milliseconds restartBackoff_;
    State state_;
    QString pin_;
    QProcess* process_ = nullptr;  // the supervised engine; a child of this object
    bool intentionallyStopped_ = false;
    qint64 restartAttempts_ = 0;
};
