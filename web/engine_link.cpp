#include "engine_link.h"

#include <QHostAddress>

#include "control_line.h"
#include "sonvale_protocol.h"

namespace {
constexpr int kRetryMs = 500;
constexpr int kPingMs = 1000;
}  // namespace

EngineLink::EngineLink(QObject* parent) : QObject(parent), control_(this), audio_(this) {
    retry_.setSingleShot(true);
    retry_.setInterval(kRetryMs);
    ping_.setInterval(kPingMs);
    connect(&retry_, &QTimer::timeout, this, &EngineLink::connectNow);
    connect(&ping_, &QTimer::timeout, this, [this] { sendLine(ControlLine::ping(++pings_)); });
    connect(&control_, &QTcpSocket::connected, this, &EngineLink::onConnected);
    connect(&control_, &QTcpSocket::readyRead, this, &EngineLink::onReadyRead);
    connect(&control_, &QTcpSocket::disconnected, this, &EngineLink::onLost);
    connect(&control_, &QTcpSocket::errorOccurred, this, [this] {
        if (control_.state() != QAbstractSocket::ConnectedState) onLost();
    });
}

void EngineLink::start(const QString& pin, int mode) {
    pin_ = pin;
    mode_ = mode;
    setState(State::Connecting);
    connectNow();
}

void EngineLink::stop() {
    setState(State::Stopped);
    retry_.stop();
    ping_.stop();
    control_.abort();
    pending_.clear();
}

void EngineLink::connectNow() {
    if (state_ == State::Stopped || state_ == State::Refused) return;
    control_.abort();
    pending_.clear();
    control_.connectToHost(QHostAddress::LocalHost, sonvale::kControlPort);
}

void EngineLink::onConnected() {
    sendLine(ControlLine::hello(pin_.toStdString()));
}

void EngineLink::onReadyRead() {
    pending_ += control_.readAll();
    for (qsizetype end; (end = pending_.indexOf('\n')) >= 0;) {
        const QByteArray line = pending_.left(end).trimmed();
        pending_.remove(0, end + 1);
        const ControlLine::Reply reply = ControlLine::reply(line.toStdString());
        if (reply == ControlLine::Reply::HelloOk) {
            setState(State::Linked);
            setMode(mode_);
            ping_.start();
        } else if (reply == ControlLine::Reply::HelloErr) {
            setState(State::Refused);
            ping_.stop();
            control_.abort();
            return;
        }
    }
}

void EngineLink::onLost() {
    ping_.stop();
    if (state_ == State::Stopped || state_ == State::Refused) return;
    setState(State::Down);
    if (!retry_.isActive()) retry_.start();
}

void EngineLink::setMode(int mode) {
    mode_ = mode;
    if (state_ == State::Linked) sendLine(ControlLine::mode(mode));
}

void EngineLink::sendDatagram(const std::vector<uint8_t>& datagram) {
    if (state_ != State::Linked) return;
    audio_.writeDatagram(reinterpret_cast<const char*>(datagram.data()), static_cast<qint64>(datagram.size()),
                         QHostAddress::LocalHost, sonvale::kAudioPort);
}

void EngineLink::sendLine(const std::string& line) {
    if (control_.state() == QAbstractSocket::ConnectedState)
        control_.write(QByteArray::fromStdString(line + "\n"));
}

void EngineLink::setState(State state) {
    if (state == state_) return;
    state_ = state;
    emit stateChanged(state);
}
