#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <cstdint>
#include <string>
#include <vector>

// The gateway's own way into the engine on this host while a browser streams:
// a control connection with the hello (and a ping every second to keep it
// alive), the latency mode as mode lines, and the audio datagrams. When the
// engine is down or goes away it tries again every half second until stopped.
// Main thread only.
class EngineLink : public QObject {
    Q_OBJECT
public:
    // Down: the engine was not there or went away; trying again.
    enum class State { Stopped, Connecting, Linked, Down, Refused };

    explicit EngineLink(QObject* parent = nullptr);

    void start(const QString& pin, int mode);
    void stop();
    void setMode(int mode);
    // Dropped unless linked: the engine would drop it anyway.
    void sendDatagram(const std::vector<uint8_t>& datagram);
    State state() const { return state_; }

signals:
    void stateChanged(EngineLink::State state);

private:
    void connectNow();
    void onConnected();
    void onReadyRead();
    void onLost();
    void setState(State state);
    void sendLine(const std::string& line);

    QTcpSocket control_;
    QUdpSocket audio_;
    QTimer retry_;
    QTimer ping_;
    QByteArray pending_;
    QString pin_;
    int mode_ = 1;
    uint64_t pings_ = 0;
    State state_ = State::Stopped;
};
