#pragma once

#include <QObject>
#include <QString>

#include <chrono>

#include "engine_state.h"
#include "pin.h"
#include "process_supervisor.h"

// Supervises the engine process "sonvale-engine": owns the pairing PIN, launches
// the engine with exactly "--pin" and the PIN (its output discarded), publishes
// its state, relaunches it one second after every exit that nobody asked for and
// ends it with SIGTERM on stop() or terminateOnQuit().
//
// The engine is looked up among the application's own resources only:
// <folder of the executable>/../libexec/tarnwell/sonvale-engine, at construction
// and again on every start().
//
// Main thread only. The supervision (one engine at a time, no restart after a
// stop, the engine never outliving the application) is ProcessSupervisor's; this
// class adds the PIN, which never changes for the life of the controller, and
// the state.
class EngineController : public QObject {
    Q_OBJECT
    Q_PROPERTY(EngineState state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString pin READ pin CONSTANT)

public:
    using State = EngineState;

    static constexpr char kEngineName[] = "sonvale-engine";
    static constexpr std::chrono::milliseconds kRestartBackoff = ProcessSupervisor::kRestartDelay;

    // Seams for tests; the application uses the defaults.
    struct Options {
        QString engineDirectory;  // empty: ProcessSupervisor::resourceDirectory()
        std::chrono::milliseconds restartBackoff = kRestartBackoff;
        Pin::Random random;  // empty: the system's generator
    };

    explicit EngineController(QObject* parent = nullptr);
    // Destruction ends an engine that is still running (ProcessSupervisor); the
    // application calls terminateOnQuit() first.
    explicit EngineController(Options options, QObject* parent = nullptr);

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
    qint64 enginePid() const { return supervisor_.pid(); }

    // "engine terminated unexpectedly — auto-restart attempt N in S s" without the
    // log prefix; S has at least one decimal ("1.0").
    static QString restartLogLine(qint64 attempt, std::chrono::milliseconds backoff);

Q_SIGNALS:
    // Sent on every assignment of the state, also when it does not change.
    void stateChanged(const EngineState& state);

private:
    void onExited(int exitCode, bool normalExit);
    void setState(const State& state);

    State state_;
    QString pin_;
    ProcessSupervisor supervisor_;  // after pin_, which its arguments carry
};
