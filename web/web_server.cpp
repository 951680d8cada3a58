#include "web_server.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QUrl>

#include "gateway_core.h"
#include "http_connection.h"
#include "post_peer.h"
#include "ws_handshake.h"
#include "ws_peer.h"

namespace {

// A POST session whose page has sent nothing for this long is gone.
constexpr qint64 kPostQuietMs = 5000;

struct PageFile {
    const char* path;
    const char* resource;
    const char* type;
};
constexpr PageFile kPageFiles[] = {
    {"/", ":/page/index.html", "text/html; charset=utf-8"},
    {"/app.js", ":/page/app.js", "text/javascript; charset=utf-8"},
    {"/capture.js", ":/page/capture.js", "text/javascript; charset=utf-8"},
    {"/style.css", ":/page/style.css", "text/css; charset=utf-8"},
};

QByteArray newToken() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

}  // namespace

WebServer::WebServer(GatewayCore& core, QString computerName, QStringList ownHosts, QObject* parent)
    : QObject(parent), core_(core), computerName_(std::move(computerName)), ownHosts_(std::move(ownHosts)) {
    connect(&tls_, &QSslServer::pendingConnectionAvailable, this, [this] {
        while (tls_.hasPendingConnections()) {
            auto* socket = qobject_cast<QSslSocket*>(tls_.nextPendingConnection());
            if (socket) new HttpConnection(socket, *this);
        }
    });
    postSweep_.setInterval(1000);
    connect(&postSweep_, &QTimer::timeout, this, &WebServer::forgetQuietPostPeers);
    postSweep_.start();
}

bool WebServer::listen(const CertificateStore::Identity& identity, quint16 port, QString& error) {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(identity.certificate);
    config.setPrivateKey(identity.key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls_.setSslConfiguration(config);
    if (!tls_.listen(QHostAddress::AnyIPv4, port)) {
        error = tls_.errorString();
        return false;
    }
    return true;
}

bool WebServer::fromOwnPage(const HttpRequest& request) const {
    const QString host = QString::fromStdString(request.field("host"));
    const QUrl hostUrl("https://" + host);
    return !host.isEmpty() && hostUrl.isValid() && ownHosts_.contains(hostUrl.host(), Qt::CaseInsensitive) &&
           QString::fromStdString(request.field("origin")).compare("https://" + host, Qt::CaseInsensitive) ==
               0;
}

void WebServer::upgrade(QSslSocket* socket, const HttpRequest& request) {
    const QByteArray refusal =
        fromOwnPage(request) ? WsHandshake::refusal(request)
                             : "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (refusal.isEmpty()) {
        new WsPeer(socket, request, core_);
        return;
    }
    socket->write(refusal);
    socket->disconnectFromHost();
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
}

void WebServer::answer(const HttpRequest& request, const QByteArray& body, HttpConnection& connection) {
    const QString path = QUrl(QString::fromStdString(request.target)).path();
    if (request.method == "POST" && path == "/stream") {
        answerPost(request, body, connection);
        return;
    }
    if (request.method != "GET") {
        connection.respond(405, "text/plain", "Not allowed\n");
        return;
    }
    if (path == "/name") {
        connection.respond(200, "text/plain; charset=utf-8", computerName_.toUtf8());
        return;
    }
    for (const PageFile& file : kPageFiles) {
        if (path != file.path) continue;
        QFile resource(file.resource);
        resource.open(QIODevice::ReadOnly);
        connection.respond(200, file.type, resource.readAll());
        return;
    }
    connection.respond(404, "text/plain", "Not found\n");
}

// A POST without a session token opens one (its body holds the Hello); the
// token comes back in X-Session and goes with every later POST.
void WebServer::answerPost(const HttpRequest& request, const QByteArray& body, HttpConnection& connection) {
    if (!fromOwnPage(request)) {
        connection.respond(403, "text/plain", "Forbidden\n");
        return;
    }
    const QByteArray token = QByteArray::fromStdString(request.field("x-session"));
    PostPeer* peer = nullptr;
    if (token.isEmpty()) {
        peer = new PostPeer(newToken(), connection.peerAddress());
        peer->setParent(this);
        postPeers_.insert(peer->token(), peer);
        core_.attach(peer);
    } else {
        peer = postPeers_.value(token);
        if (!peer) {
            connection.respond(410, "text/plain", "Gone\n");
            return;
        }
    }
    peer->seen();
    core_.receive(peer, reinterpret_cast<const uint8_t*>(body.constData()), static_cast<size_t>(body.size()));
    connection.respond(200, "application/octet-stream", peer->takeOutgoing(), {{"X-Session", peer->token()}});
    if (peer->finished()) dropPostPeer(peer);
}

void WebServer::dropPostPeer(PostPeer* peer) {
    postPeers_.remove(peer->token());
    core_.detach(peer);
    peer->deleteLater();
}

void WebServer::forgetQuietPostPeers() {
    QList<PostPeer*> quiet;
    for (PostPeer* peer : std::as_const(postPeers_)) {
        if (peer->quietMs() > kPostQuietMs) quiet.append(peer);
    }
    for (PostPeer* peer : quiet)
        dropPostPeer(peer);
}
