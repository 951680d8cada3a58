#include "single_instance.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr int kConnectTimeoutMs = 1000;
const char kOpenRequest[] = "open\n";
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
    if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
    socket.write(kOpenRequest);
    if (!socket.waitForBytesWritten(kConnectTimeoutMs)) return false;
    socket.disconnectFromServer();
    return true;
}

void SingleInstance::onConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        auto serve = [this, socket] {
            while (socket->canReadLine())
                if (socket->readLine() == kOpenRequest) Q_EMIT openRequested();
        };
        connect(socket, &QLocalSocket::readyRead, this, serve);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        serve();
    }
}
