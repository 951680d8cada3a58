#pragma once

#include <QTcpServer>

#include <functional>

// A listening socket that hands every accepted descriptor straight to its
// owner. It never queues a connection, so accepting never pauses however many
// connections are still being looked at; the owner takes each descriptor at
// once (and must close or keep it).
class TcpListener : public QTcpServer {
public:
    using Accepted = std::function<void(qintptr descriptor)>;
    explicit TcpListener(Accepted accepted, QObject* parent = nullptr)
        : QTcpServer(parent), accepted_(std::move(accepted)) {}

protected:
    void incomingConnection(qintptr descriptor) override { accepted_(descriptor); }

private:
    Accepted accepted_;
};
