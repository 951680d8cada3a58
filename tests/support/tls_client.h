// A raw TLS connection to a server on loopback, for saying what a well-behaved
// client never would. The server's certificate is not checked. Needs the
// test's Qt event loop (see qt_wait.h).
#pragma once

#include <QSslSocket>

#include "qt_wait.h"

namespace testsupport {

class TlsClient {
public:
    explicit TlsClient(quint16 port) {
        socket_.setPeerVerifyMode(QSslSocket::VerifyNone);
        QObject::connect(&socket_, &QSslSocket::readyRead, [this] { received_ += socket_.readAll(); });
        socket_.connectToHostEncrypted("127.0.0.1", port);
    }
    bool encrypted() {
        pumpUntil(
            [&] { return socket_.isEncrypted() || socket_.state() == QAbstractSocket::UnconnectedState; });
        return socket_.isEncrypted();
    }
    void send(const QByteArray& bytes) { socket_.write(bytes); }
    // Whether the server ended the connection; received() then holds all it sent.
    bool closedByServer() {
        return pumpUntil([&] { return socket_.state() == QAbstractSocket::UnconnectedState; });
    }
    const QByteArray& received() const { return received_; }

private:
    QSslSocket socket_;
    QByteArray received_;
};

}  // namespace testsupport
