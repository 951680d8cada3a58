#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

#include "certificate_store.h"
#include "connection_gate.h"
#include "http_request.h"
#include "tcp_listener.h"

class GatewayCore;
class HttpConnection;
class PostPeer;
class QSslSocket;

// HTTPS and WSS on one port: every accepted connection passes the gate (at
// most ConnectionGate's caps per address and in all; past them it is closed at
// once, and a line on stderr counts the refusals, at most once a minute), then
// an IncomingConnection tells TLS from plain HTTP (sent on to https), and each
// TLS connection's requests are read by an HttpConnection; a WebSocket upgrade
// becomes a WsPeer (or is refused), everything else gets a plain answer: the page's
// files, the computer's name, and the POST way in. Upgrades and POSTs must come
// from a page of this gateway (Origin equal to https:// and the Host, which
// must name this machine); a POST session opens only for a body that starts
// with a Hello, and is kept only once the core has welcomed it.
class WebServer : public QObject {
    Q_OBJECT
public:
    WebServer(GatewayCore& core, QString computerName, QStringList ownHosts, QObject* parent = nullptr);

    // Each connection gets the certificate of the local address it reached;
    // certificates must outlive this server.
    bool listen(CertificateStore& certificates, quint16 port, QString& error);

    // The TLS settings for a connection that came in on local.
    QSslConfiguration tlsConfigurationFor(const QHostAddress& local);
    // Where a plain HTTP request belongs: https:// with the Host's host when it
    // names this machine (else local), the TLS port, the request's path.
    QByteArray secureLocation(const HttpRequest& request, const QHostAddress& local) const;

    // From HttpConnection.
    void upgrade(QSslSocket* socket, const HttpRequest& request);
    void answer(const HttpRequest& request, const QByteArray& body, HttpConnection& connection);

private:
    void accept(qintptr descriptor);
    void reportRefusals();
    void returnFreedMemory();
    bool fromOwnPage(const HttpRequest& request) const;
    void answerPost(const HttpRequest& request, const QByteArray& body, HttpConnection& connection);
    void openPostSession(const HttpRequest& request, const QByteArray& body, HttpConnection& connection);
    void dropPostPeer(PostPeer* peer);
    void forgetQuietPostPeers();

    GatewayCore& core_;
    QString computerName_;
    QStringList ownHosts_;
    std::shared_ptr<ConnectionGate> gate_ = std::make_shared<ConnectionGate>();
    QTimer refusalReport_;
    QTimer trim_;
    uint64_t releasedAtTrim_ = 0;
    CertificateStore* certificates_ = nullptr;
    quint16 port_ = 0;
    TcpListener listener_;
    QHash<QByteArray, PostPeer*> postPeers_;
    QTimer postSweep_;
};
