#pragma once

#include <QObject>
#include <QPointer>
#include <QSslSocket>
#include <QTimer>

#include "http_request.h"

class WebServer;

// One TLS connection from a browser: reads requests one after another on the
// kept-alive connection and lets the server answer each, the next only when
// the last answer has been written out. At most a request head and body wait
// unread; the connection ends when no request has been read or answered for
// the idle time (a head that trickles in does not count). A WebSocket upgrade
// is handed over untouched (the head was only peeked), and the connection then
// belongs to the WebSocket. Deletes itself when the connection ends.
class HttpConnection : public QObject {
    Q_OBJECT
public:
    HttpConnection(QSslSocket* socket, WebServer& server);

    void respond(int status, const QByteArray& type, const QByteArray& body,
                 const QList<QPair<QByteArray, QByteArray>>& extraFields = {});
    // The browser's IPv4 address in host order, 0 when not IPv4.
    uint32_t peerAddress() const { return socket_ ? socket_->peerAddress().toIPv4Address() : 0; }

private:
    void onReadyRead();
    void onWritten();
    bool writing() const;
    void closeAfterWriting();

    QPointer<QSslSocket> socket_;
    WebServer& server_;
    QTimer idle_;
    bool keepAlive_ = true;
};
