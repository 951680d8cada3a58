// A bare TLS connection to the gateway from a chosen loopback address, for
// saying what a well-behaved client never would (and for never reading). The
// server's certificate is not checked. Needs the test's Qt event loop.
#pragma once

#include <QSslSocket>

#include <utility>

#include "qt_wait.h"

namespace testsupport {

class TlsClient {
public:
    // from: the local address to connect from (any 127.x works in the sandbox).
    explicit TlsClient(const QString& from = "127.0.0.1") {
        socket_.setPeerVerifyMode(QSslSocket::VerifyNone);
        QObject::connect(&socket_, &QSslSocket::readyRead, [this] {
            if (reading_) received_ += socket_.readAll();
        });
        socket_.bind(QHostAddress(from));
        socket_.connectToHostEncrypted("127.0.0.1", 47812);
    }
    bool encrypted(std::chrono::milliseconds timeout = 20s) {
        pumpUntil(
            [&] { return socket_.isEncrypted() || socket_.state() == QAbstractSocket::UnconnectedState; },
            timeout);
        return socket_.isEncrypted();
    }
    void send(const QByteArray& bytes) { socket_.write(bytes); }
    QByteArray get(const QByteArray& path, std::chrono::milliseconds timeout = 20s) {
        received_.clear();
        send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:47812\r\n\r\n");
        return answer(timeout);
    }
    // All received once it holds a whole answer (head and a Content-Length
    // body) or the server closed; empty when nothing came.
    QByteArray answer(std::chrono::milliseconds timeout = 20s) {
        pumpUntil(
            [&] {
                const qsizetype end = received_.indexOf("\r\n\r\n");
                if (end < 0) return socket_.state() == QAbstractSocket::UnconnectedState;
                const qsizetype at = received_.toLower().indexOf("content-length:");
                const qsizetype length =
                    at < 0 ? 0 : received_.mid(at + 15, end - at - 15).split('\r')[0].trimmed().toLongLong();
                return received_.size() >= end + 4 + length;
            },
            timeout);
        return std::exchange(received_, {});
    }
    const QByteArray& received() const { return received_; }
    // Takes at most a few bytes of what comes, as a client that never reads.
    void stopReading() {
        reading_ = false;
        socket_.setReadBufferSize(1);
    }
    QSslSocket& socket() { return socket_; }

private:
    QSslSocket socket_;
    QByteArray received_;
    bool reading_ = true;
};

}  // namespace testsupport
