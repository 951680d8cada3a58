#pragma once

#include <QObject>

#include <array>
#include <csignal>
#include <memory>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread, so that
// a termination request from outside takes the same path as "Quit Tarnwell".
// The handler only writes the signal's number into a pipe (the self-pipe trick);
// the main thread reads it through a socket notifier. No thread of its own.
//
// One instance at a time; its destruction restores the default dispositions.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    static constexpr std::array<int, 3> kSignals{SIGTERM, SIGINT, SIGHUP};

    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the pipe or the handlers could not be set up (the signals then
    // keep their default action).
    bool isActive() const { return active_; }

Q_SIGNALS:
    void received(int signal);

private:
    void drain();

    int readFd_ = -1;
    int writeFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool active_ = false;
};
