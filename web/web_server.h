#pragma once

#include <QHash>
#include <QObject>
#include <QSslServer>
#include <QStringList>
#include <QTimer>

#include "certificate_store.h"
#include "http_request.h"

class GatewayCore;
class HttpConnection;
class PostPeer;

// HTTPS and WSS on one port: a TLS server accepts, each connection's requests
// are read by an HttpConnection, a WebSocket upgrade becomes a WsPeer (or is
// refused), everything else gets a plain answer: the page's files, the
// computer's name, and the POST way in. Upgrades and POSTs must come
// from a page of this gateway (Origin equal to https:// and the Host, which
// must name this machine).
class WebServer : public QObject {
    Q_OBJECT
public:
    WebServer(GatewayCore& core, QString computerName, QStringList ownHosts, QObject* parent = nullptr);

    bool listen(const CertificateStore::Identity& identity, quint16 port, QString& error);

    // From HttpConnection.
    void upgrade(QSslSocket* socket, const HttpRequest& request);
    void answer(const HttpRequest& request, const QByteArray& body, HttpConnection& connection);

private:
    bool fromOwnPage(const HttpRequest& request) const;
    void answerPost(const HttpRequest& request, const QByteArray& body, HttpConnection& connection);
    void dropPostPeer(PostPeer* peer);
    void forgetQuietPostPeers();

    GatewayCore& core_;
    QString computerName_;
    QStringList ownHosts_;
    QSslServer tls_;
    QHash<QByteArray, PostPeer*> postPeers_;
    QTimer postSweep_;
};
