#include "single_instance.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr int kConnectTimeoutMs = 1000;
const char kOpenRequest[] = "open\n";

// Abstract socket names are open to every user: only our own user's processes
// count as a running instance or may ask for the window.
bool sameUser(const QLocalSocket& socket) {
    struct ucred peer = {};
    socklen_t length = sizeof peer;
    const int fd = static_cast<int>(socket.socketDescriptor());
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           peer.uid == ::getuid();
}
}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName() {
    return QStringLiteral("tarnwell-%1").arg(::getuid());
}

SingleInstance::Role SingleInstance::claim() {
    if (askRunningInstance()) return Role::Secondary;
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::onConnection);
    if (server_->listen(serverName())) return Role::Primary;
    // Another instance started at the same moment and listens now.
    server_.reset();
    return askRunningInstance() ? Role::Secondary : Role::Primary;
}

bool SingleInstance::askRunningInstance() {
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(kConnectTimeoutMs) || !sameUser(socket)) return false;
    socket.write(kOpenRequest);
    if (!socket.waitForBytesWritten(kConnectTimeoutMs)) return false;
    socket.disconnectFromServer();
    return true;
}

void SingleInstance::onConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        if (!sameUser(*socket)) {
            delete socket;
            continue;
        }
        auto serve = [this, socket] {
            while (socket->canReadLine())
                if (socket->readLine() == kOpenRequest) Q_EMIT openRequested();
        };
        connect(socket, &QLocalSocket::readyRead, this, serve);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        serve();
    }
}
