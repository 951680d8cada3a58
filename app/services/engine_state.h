#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

// What the user interface shows about the engine: stopped, running, failed with a
// message, or missing (no engine executable among the application's resources).
// Two states are equal when they are the same case and, for failed, carry the
// same message.
class EngineState {
    Q_GADGET
    Q_PROPERTY(Kind kind READ kind)
    Q_PROPERTY(QString message READ message)

public:
    enum class Kind { Stopped, Running, Failed, Missing };
    Q_ENUM(Kind)

    EngineState() = default;  // stopped
    static EngineState stopped() { return EngineState(Kind::Stopped, {}); }
    static EngineState running() { return EngineState(Kind::Running, {}); }
    static EngineState failed(const QString& message) { return EngineState(Kind::Failed, message); }
    static EngineState missing() { return EngineState(Kind::Missing, {}); }

    Kind kind() const { return kind_; }
    // The failure's text ("Engine exited (code 1)" or the launch error); empty otherwise.
    const QString& message() const { return message_; }

    friend bool operator==(const EngineState&, const EngineState&) = default;

    // For logs and test output: "stopped", "running", "failed: <message>", "missing".
    QString debugText() const;

private:
    EngineState(Kind kind, QString message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_ = Kind::Stopped;
    QString message_;
};

Q_DECLARE_METATYPE(EngineState)
