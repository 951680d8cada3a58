#include "incoming_connection.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QSslSocket>

#include <cerrno>

#include "gate_slot.h"
#include "http_connection.h"
#include "http_request.h"
#include "web_server.h"

namespace {
// The first byte of every TLS handshake record.
constexpr char kTlsHandshake = 0x16;
}  // namespace

IncomingConnection::IncomingConnection(qintptr descriptor) : descriptor_(static_cast<int>(descriptor)) {
    deadline_.setSingleShot(true);
    deadline_.setInterval(kDeadlineMs);
    connect(&deadline_, &QTimer::timeout, this, &IncomingConnection::drop);
}

IncomingConnection::~IncomingConnection() {
    notifier_.reset();
    if (descriptor_ >= 0) ::close(descriptor_);
}

uint32_t IncomingConnection::peerAddress() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getpeername(descriptor_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        address.sin_family != AF_INET)
        return 0;
    return ntohl(address.sin_addr.s_addr);
}

void IncomingConnection::start(WebServer& server, GateSlot* slot) {
    server_ = &server;
    slot_ = slot;
    slot_->setParent(this);
    deadline_.start();
    notifier_ = std::make_unique<QSocketNotifier>(descriptor_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &IncomingConnection::peekFirstByte);
}

void IncomingConnection::peekFirstByte() {
    char first = 0;
    const ssize_t n = ::recv(descriptor_, &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    notifier_.reset();  // the socket made next watches the descriptor itself
    if (n <= 0) {
        drop();
    } else if (first == kTlsHandshake) {
        startTls();
    } else {
        startPlain();
    }
}

bool IncomingConnection::adopt(QTcpSocket& socket) {
    if (!socket.setSocketDescriptor(descriptor_)) return false;
    descriptor_ = -1;
    socket_ = &socket;
    connect(&socket, &QAbstractSocket::disconnected, this, &IncomingConnection::drop);
    connect(&socket, &QAbstractSocket::errorOccurred, this, &IncomingConnection::drop);
    return true;
}

void IncomingConnection::startTls() {
    auto* socket = new QSslSocket(this);
    if (!adopt(*socket)) {
        drop();
        return;
    }
    socket->setSslConfiguration(server_->tlsConfigurationFor(socket->localAddress()));
    connect(socket, &QSslSocket::encrypted, this, [this, socket] {
        deadline_.stop();
        disconnect(socket, nullptr, this, nullptr);
        socket_.clear();
        slot_->setParent(socket);
        new HttpConnection(socket, *server_);
        deleteLater();
    });
    socket->startServerEncryption();
}

void IncomingConnection::startPlain() {
    auto* socket = new QTcpSocket(this);
    socket->setReadBufferSize(static_cast<qint64>(HttpHead::kMaxHead));
    if (!adopt(*socket)) {
        drop();
        return;
    }
    connect(socket, &QTcpSocket::readyRead, this, &IncomingConnection::readPlainHead);
    readPlainHead();
}

// The answer is small enough for any socket buffer; the deadline still ends a
// connection that will not take it.
void IncomingConnection::readPlainHead() {
    const QByteArray head = socket_->peek(static_cast<qint64>(HttpHead::kMaxHead));
    HttpRequest request;
    const HttpHead::Status status = HttpHead::parse(std::string_view(head.constData(), head.size()), request);
    if (status == HttpHead::Status::Incomplete) return;
    if (status != HttpHead::Status::Complete) {
        drop();
        return;
    }
    disconnect(socket_, &QTcpSocket::readyRead, this, &IncomingConnection::readPlainHead);
    socket_->write("HTTP/1.1 301 Moved Permanently\r\nLocation: " +
                   server_->secureLocation(request, socket_->localAddress()) +
                   "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    socket_->disconnectFromHost();
}

void IncomingConnection::drop() {
    deadline_.stop();
    if (socket_) {
        disconnect(socket_, nullptr, this, nullptr);
        socket_->abort();
    }
    deleteLater();
}
