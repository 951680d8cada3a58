#include "web_server.h"

#include <QFile>
#include <QRandomGenerator>
#include <QUrl>

#include <malloc.h>

#include <charconv>
#include <cstdio>

#include "gate_slot.h"
#include "gateway_core.h"
#include "http_connection.h"
#include "incoming_connection.h"
#include "page_message.h"
#include "phone_name.h"
#include "post_peer.h"
#include "ws_handshake.h"
#include "ws_peer.h"

namespace {

constexpr int kRefusalLingerMs = 5000;
constexpr int kTrimMs = 10000;

// A POST session whose page has sent nothing for this long is gone.
constexpr qint64 kPostQuietMs = 5000;
constexpr int kRefusalReportMs = 60000;

struct PageFile {
    const char* path;
    const char* resource;
    const char* type;
};
constexpr PageFile kPageFiles[] = {
    {"/", ":/page/index.html", "text/html; charset=utf-8"},
    {"/app.js", ":/page/app.js", "text/javascript; charset=utf-8"},
    {"/session.js", ":/page/session.js", "text/javascript; charset=utf-8"},
    {"/capture.js", ":/page/capture.js", "text/javascript; charset=utf-8"},
    {"/style.css", ":/page/style.css", "text/css; charset=utf-8"},
    {"/manifest.webmanifest", ":/page/manifest.webmanifest", "application/manifest+json"},
    {"/icon.svg", ":/page/icon.svg", "image/svg+xml"},
};

QByteArray newToken() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

}  // namespace

WebServer::WebServer(GatewayCore& core, QString computerName, QStringList ownHosts, QObject* parent)
    : QObject(parent),
      core_(core),
      computerName_(std::move(computerName)),
      ownHosts_(std::move(ownHosts)),
      listener_([this](qintptr descriptor) { accept(descriptor); }) {
    refusalReport_.setSingleShot(true);
    refusalReport_.setInterval(kRefusalReportMs);
    connect(&refusalReport_, &QTimer::timeout, this, &WebServer::reportRefusals);
    trim_.setInterval(kTrimMs);
    connect(&trim_, &QTimer::timeout, this, &WebServer::returnFreedMemory);
    trim_.start();
    postSweep_.setInterval(1000);
    connect(&postSweep_, &QTimer::timeout, this, &WebServer::forgetQuietPostPeers);
    postSweep_.start();
}

bool WebServer::listen(CertificateStore& certificates, quint16 port, QString& error) {
    certificates_ = &certificates;
    port_ = port;
    if (!listener_.listen(QHostAddress::AnyIPv4, port)) {
        error = listener_.errorString();
        return false;
    }
    return true;
}

// A phone keeps the certificate it accepted for the address it opened, so it is
// shown that one whatever other addresses the computer has today. Loopback's
// stands in when the address's own cannot be had.
QSslConfiguration WebServer::tlsConfigurationFor(const QHostAddress& local) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QString error;
    std::optional<CertificateStore::Identity> identity;
    if (local.protocol() == QAbstractSocket::IPv4Protocol)
        identity = certificates_->obtain(local.toString(), now, error);
    if (!identity) identity = certificates_->obtain("127.0.0.1", now, error);
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    if (identity) {
        config.setLocalCertificate(identity->certificate);
        config.setPrivateKey(identity->key);
    }
    return config;
}

QByteArray WebServer::secureLocation(const HttpRequest& request, const QHostAddress& local) const {
    const QString host = QUrl("http://" + QString::fromStdString(request.field("host"))).host();
    const bool own = !host.isEmpty() && ownHosts_.contains(host, Qt::CaseInsensitive);
    QString target = QString::fromStdString(request.target);
    if (!target.startsWith('/')) target = "/";
    return QUrl("https://" + (own ? host : local.toString()) + ":" + QString::number(port_) + target)
        .toEncoded();
}

// The gate decides before anything is read; a refused descriptor is closed
// with the IncomingConnection that briefly held it.
void WebServer::accept(qintptr descriptor) {
    auto incoming = std::make_unique<IncomingConnection>(descriptor);
    const uint32_t address = incoming->peerAddress();
    if (!gate_->admit(address)) {
        if (!refusalReport_.isActive()) reportRefusals();
        return;
    }
    incoming->setParent(this);
    incoming.release()->start(*this, new GateSlot(gate_, address));
}

// A burst of connections (each TLS handshake takes some tens of kilobytes)
// leaves the heap with free pages that glibc keeps; give them back once the
// burst is over, so a scan does not raise the gateway's footprint for good.
void WebServer::returnFreedMemory() {
    if (gate_->released() == releasedAtTrim_) return;
    releasedAtTrim_ = gate_->released();
    malloc_trim(0);
}

// The first refusal is told at once, later ones a minute after the last line.
void WebServer::reportRefusals() {
    const int refused = gate_->takeRefused();
    if (refused == 0) return;
    std::fprintf(stderr, "sonvale-web: refused %d connection%s over the limits in the last minute\n", refused,
                 refused == 1 ? "" : "s");
    refusalReport_.start();
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
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    // A client that never reads the refusal still gives its slot back.
    QTimer::singleShot(kRefusalLingerMs, socket, [socket] { socket->abort(); });
}

void WebServer::answer(const HttpRequest& request, const QByteArray& body, HttpConnection& connection) {
    const QString path = QUrl(QString::fromStdString(request.target)).path();
    if ((request.method == "POST" || request.method == "PUT") && path == "/stream") {
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

// A POST without a session token opens one when its body starts with a Hello;
// the session is kept (its token back in X-Session, to go with every later
// POST) only when the core welcomed it, so nothing stays behind a wrong PIN.
// Later requests carry their number in X-Seq, since a page keeps several in
// flight; numbered, they are idempotent (a repeat is dropped), so the page sends
// them as PUT, which WebKit may send on a kept-alive connection: for a POST it
// opens a new TLS connection every time.
void WebServer::answerPost(const HttpRequest& request, const QByteArray& body, HttpConnection& connection) {
    if (!fromOwnPage(request)) {
        connection.respond(403, "text/plain", "Forbidden\n");
        return;
    }
    const QByteArray token = QByteArray::fromStdString(request.field("x-session"));
    if (token.isEmpty()) {
        openPostSession(request, body, connection);
        return;
    }
    PostPeer* peer = postPeers_.value(token);
    if (!peer) {
        connection.respond(410, "text/plain", "Gone\n");
        return;
    }
    const std::string seqField = request.field("x-seq");
    uint32_t seq = 0;
    const auto parsed = std::from_chars(seqField.data(), seqField.data() + seqField.size(), seq);
    if (!seqField.empty() && (parsed.ec != std::errc() || parsed.ptr != seqField.data() + seqField.size())) {
        connection.respond(400, "text/plain", "Bad request\n");
        return;
    }
    peer->seen();
    // An unnumbered request is read as it comes.
    const std::vector<QByteArray> units =
        seqField.empty() ? std::vector{body} : peer->order().take(seq, body);
    for (const QByteArray& unit : units) {
        core_.receive(peer, reinterpret_cast<const uint8_t*>(unit.constData()),
                      static_cast<size_t>(unit.size()));
        if (peer->finished()) break;
    }
    connection.respond(200, "application/octet-stream", peer->takeOutgoing(), {{"X-Session", peer->token()}});
    if (peer->finished()) dropPostPeer(peer);
}

void WebServer::openPostSession(const HttpRequest& request, const QByteArray& body,
                                HttpConnection& connection) {
    if (body.isEmpty() || static_cast<uint8_t>(body[0]) != static_cast<uint8_t>(PageMessage::Type::Hello)) {
        connection.respond(400, "text/plain", "Bad request\n");
        return;
    }
    auto peer = std::make_unique<PostPeer>(newToken(), connection.peerAddress());
    peer->setPhoneName(QString::fromStdString(::phoneName(request.field("user-agent"))));
    core_.attach(peer.get());
    core_.receive(peer.get(), reinterpret_cast<const uint8_t*>(body.constData()),
                  static_cast<size_t>(body.size()));
    if (!core_.paired(peer.get())) {
        core_.detach(peer.get());
        connection.respond(200, "application/octet-stream", peer->takeOutgoing());
        return;
    }
    peer->setParent(this);
    postPeers_.insert(peer->token(), peer.get());
    connection.respond(200, "application/octet-stream", peer->takeOutgoing(), {{"X-Session", peer->token()}});
    peer.release();
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
