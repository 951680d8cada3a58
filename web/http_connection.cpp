#include "http_connection.h"

#include "web_server.h"

namespace {
constexpr int kIdleMs = 15000;
constexpr qsizetype kMaxBody = 65536;

QByteArray reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 410:
            return "Gone";
        case 413:
            return "Content Too Large";
        case 431:
            return "Request Header Fields Too Large";
        default:
            return "Error";
    }
}
}  // namespace

HttpConnection::HttpConnection(QSslSocket* socket, WebServer& server)
    : QObject(&server), socket_(socket), server_(server) {
    socket->setParent(this);
    socket->setReadBufferSize(static_cast<qint64>(HttpHead::kMaxHead) + kMaxBody);
    idle_.setSingleShot(true);
    idle_.setInterval(kIdleMs);
    connect(&idle_, &QTimer::timeout, this, [this] { socket_->abort(); });
    connect(socket, &QSslSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(socket, &QSslSocket::encryptedBytesWritten, this, &HttpConnection::onWritten);
    connect(socket, &QSslSocket::disconnected, this, &QObject::deleteLater);
    idle_.start();
    onReadyRead();
}

// One request at a time: the next is read only once the answer has left, so a
// client that sends and never reads holds one answer here, not thousands.
void HttpConnection::onReadyRead() {
    while (socket_ && socket_->state() == QAbstractSocket::ConnectedState && !writing()) {
        const QByteArray head = socket_->peek(HttpHead::kMaxHead);
        HttpRequest request;
        const HttpHead::Status status =
            HttpHead::parse(std::string_view(head.constData(), head.size()), request);
        if (status == HttpHead::Status::Incomplete) return;
        if (status != HttpHead::Status::Complete) {
            keepAlive_ = false;
            respond(status == HttpHead::Status::TooLarge ? 431 : 400, "text/plain", "Bad request\n");
            return;
        }
        if (request.wantsWebSocket()) {
            QSslSocket* socket = socket_;
            disconnect(socket, nullptr, this, nullptr);
            socket->setParent(nullptr);
            socket_.clear();
            server_.upgrade(socket, request);
            deleteLater();
            return;
        }
        if (request.contentLength > kMaxBody) {
            keepAlive_ = false;
            respond(413, "text/plain", "Too large\n");
            return;
        }
        const auto whole = static_cast<qint64>(request.headSize + request.contentLength);
        if (socket_->bytesAvailable() < whole) return;
        socket_->skip(static_cast<qint64>(request.headSize));
        const QByteArray body = socket_->read(static_cast<qint64>(request.contentLength));
        keepAlive_ = request.keepAlive();
        idle_.start();
        server_.answer(request, body, *this);
    }
}

bool HttpConnection::writing() const {
    return socket_->bytesToWrite() > 0 || socket_->encryptedBytesToWrite() > 0;
}

void HttpConnection::onWritten() {
    if (!socket_ || writing()) return;
    idle_.start();
    onReadyRead();
}

void HttpConnection::respond(int status, const QByteArray& type, const QByteArray& body,
                             const QList<QPair<QByteArray, QByteArray>>& extraFields) {
    if (!socket_) return;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " " + reason(status) + "\r\n";
    head += "Content-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n";
    head +=
        "Content-Security-Policy: default-src 'self'; img-src 'self' data:; base-uri 'none'; "
        "form-action 'none'; frame-ancestors 'none'\r\n";
    for (const auto& [name, value] : extraFields)
        head += name + ": " + value + "\r\n";
    head += keepAlive_ ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    socket_->write(head + body);
    if (!keepAlive_) closeAfterWriting();
}

void HttpConnection::closeAfterWriting() {
    disconnect(socket_, &QSslSocket::readyRead, this, &HttpConnection::onReadyRead);
    socket_->disconnectFromHost();
}
