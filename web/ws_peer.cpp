#include "ws_peer.h"

#include "gateway_core.h"
#include "phone_name.h"
#include "ws_handshake.h"

namespace {
constexpr qint64 kReadBuffer = 64 * 1024;
constexpr qint64 kMaxUnsent = 256 * 1024;
constexpr int kGraceMs = 1000;
}  // namespace

WsPeer::WsPeer(QSslSocket* socket, const HttpRequest& request, GatewayCore& core)
    : socket_(socket), core_(core) {
    socket_->setParent(this);
    socket_->setReadBufferSize(kReadBuffer);
    socket_->skip(static_cast<qint64>(request.headSize));
    socket_->write(WsHandshake::acceptance(request));
    grace_.setSingleShot(true);
    connect(&grace_, &QTimer::timeout, this, &WsPeer::hangUp);
    connect(socket_, &QSslSocket::readyRead, this, &WsPeer::onReadyRead);
    connect(socket_, &QSslSocket::disconnected, this, [this] {
        core_.detach(this);
        deleteLater();
    });
    setPhoneName(QString::fromStdString(::phoneName(request.field("user-agent"))));
    core_.attach(this);
    onReadyRead();
}

void WsPeer::send(const std::vector<uint8_t>& message) {
    if (!closeSent_) write(WsFrame::binary(message.data(), message.size()));
}

void WsPeer::finish() {
    closeWith(WsFrame::kNormal);
}

uint32_t WsPeer::address() const {
    return socket_->peerAddress().toIPv4Address();
}

void WsPeer::onReadyRead() {
    char chunk[WsFrame::kMaxMessage];
    while (socket_->state() == QAbstractSocket::ConnectedState && socket_->bytesAvailable() > 0) {
        const qint64 got = socket_->read(chunk, sizeof chunk);
        if (got <= 0) return;
        // After a violation the rest is read only to be dropped.
        for (WsEvent& event : reader_.read(reinterpret_cast<const uint8_t*>(chunk), size_t(got)))
            handle(event);
    }
}

void WsPeer::handle(WsEvent& event) {
    switch (event.kind) {
        case WsEvent::Kind::Message:
            if (!closeSent_) core_.receive(this, event.payload.data(), event.payload.size());
            break;
        case WsEvent::Kind::Ping:
            if (!closeSent_) write(WsFrame::pong(event.payload));
            break;
        case WsEvent::Kind::Close:
            // The page's answer to our close, or its own close to echo.
            if (!closeSent_) write(WsFrame::close(event.code));
            closeSent_ = true;
            hangUp();
            break;
        case WsEvent::Kind::Violation:
            closeWith(event.code);
            break;
    }
}

void WsPeer::write(const std::vector<uint8_t>& frame) {
    socket_->write(reinterpret_cast<const char*>(frame.data()), static_cast<qint64>(frame.size()));
    // Queued: the core may be in the middle of a call that led here.
    if (socket_->bytesToWrite() > kMaxUnsent)
        QMetaObject::invokeMethod(socket_, &QSslSocket::abort, Qt::QueuedConnection);
}

void WsPeer::closeWith(uint16_t code) {
    if (closeSent_) return;
    write(WsFrame::close(code));
    closeSent_ = true;
    grace_.start(kGraceMs);
}

// First a clean end once what is queued has gone out; if that does not finish
// within the grace, the connection is cut.
void WsPeer::hangUp() {
    if (socket_->state() == QAbstractSocket::ConnectedState) {
        socket_->disconnectFromHost();
        grace_.start(kGraceMs);
    } else {
        socket_->abort();
    }
}
