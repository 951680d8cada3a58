// A bare TLS connection to the gateway from a chosen loopback address, for
// requests written by hand (and for ones that are never read).
#pragma once

#include <QSslSocket>

#include "qt_wait.h"

namespace testsupport {

class TlsClient {
public:
    // from: the local address to connect from (any 127.x works in the sandbox).
    explicit TlsClient(const QString& from = "127.0.0.1", quint16 port = 47812) {
        socket_.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket_.bind(QHostAddress(from));
        socket_.connectToHostEncrypted("127.0.0.1", port);
    }
    bool encrypted(std::chrono::milliseconds timeout = 20s) {
        pumpUntil(
            [&] { return socket_.isEncrypted() || socket_.state() == QAbstractSocket::UnconnectedState; },
            timeout);
        return socket_.isEncrypted();
    }
    // The whole answer (head and a Content-Length body), empty when none came.
    QByteArray get(const QByteArray& path, std::chrono::milliseconds timeout = 20s) {
        socket_.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:47812\r\n\r\n");
        QByteArray answer;
        pumpUntil(
            [&] {
                answer += socket_.readAll();
                const qsizetype end = answer.indexOf("\r\n\r\n");
                if (end < 0) return socket_.state() == QAbstractSocket::UnconnectedState;
                const qsizetype at = answer.toLower().indexOf("content-length:");
                const qsizetype length =
                    at < 0 ? 0 : answer.mid(at + 15, end - at - 15).split('\r')[0].trimmed().toLongLong();
                return answer.size() >= end + 4 + length;
            },
            timeout);
        return answer;
    }
    // Takes at most a few bytes of what comes, as a client that never reads.
    void stopReading() { socket_.setReadBufferSize(1); }
    QSslSocket& socket() { return socket_; }

private:
    QSslSocket socket_;
};

}  // namespace testsupport
