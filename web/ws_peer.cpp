#include "ws_peer.h"

#include "gateway_core.h"

namespace {
// Larger than any unit a page sends, small enough that nobody can fill memory.
constexpr quint64 kMaxMessage = 16384;
}  // namespace

WsPeer::WsPeer(QWebSocket* socket, GatewayCore& core) : socket_(socket), core_(core) {
    socket_->setParent(this);
    socket_->setMaxAllowedIncomingMessageSize(kMaxMessage);
    socket_->setMaxAllowedIncomingFrameSize(kMaxMessage);
    connect(socket_, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& message) {
        core_.receive(this, reinterpret_cast<const uint8_t*>(message.constData()),
                      static_cast<size_t>(message.size()));
    });
    connect(socket_, &QWebSocket::textMessageReceived, this, [this](const QString& message) {
        const QByteArray bytes = message.toUtf8();
        core_.receive(this, reinterpret_cast<const uint8_t*>(bytes.constData()),
                      static_cast<size_t>(bytes.size()));
    });
    connect(socket_, &QWebSocket::disconnected, this, [this] {
        core_.detach(this);
        deleteLater();
    });
    core_.attach(this);
}

void WsPeer::send(const std::vector<uint8_t>& message) {
    socket_->sendBinaryMessage(
        QByteArray(reinterpret_cast<const char*>(message.data()), static_cast<qsizetype>(message.size())));
}

void WsPeer::finish() {
    socket_->close();
}

uint32_t WsPeer::address() const {
    return socket_->peerAddress().toIPv4Address();
}
