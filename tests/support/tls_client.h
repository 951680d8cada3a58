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
    bool encrypted() {
        pumpUntil(
            [&] { return socket_.isEncrypted() || socket_.state() == QAbstractSocket::UnconnectedState; });
        return socket_.isEncrypted();
    }
    void send(const QByteArray& bytes) { socket_.write(bytes); }
    // The answer's status line and what came with it; empty when none came.
    QByteArray get(const QByteArray& path) {
        received_.clear();
        send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:47812\r\n\r\n");
        pumpUntil([&] {
            return received_.contains("\r\n") || socket_.state() == QAbstractSocket::UnconnectedState;
        });
        return std::exchange(received_, {});
    }
    // Whether the server ended the connection; received() then holds all it sent.
    bool closedByServer() {
        return pumpUntil([&] { return socket_.state() == QAbstractSocket::UnconnectedState; });
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
