#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <memory>

class GateSlot;
class QSocketNotifier;
class QTcpSocket;
class QSslSocket;
class WebServer;

// An accepted connection until it is known what it speaks. It peeks at the
// first byte: a TLS handshake record (0x16) goes on as TLS with the server's
// configuration for the local address, and once encrypted becomes an
// HttpConnection; anything else is read as plain HTTP and sent to the same
// host and path over https with a 301, then closed.
// - A connection that closes, fails its handshake, sends a bad or oversized
//   plain request head, or has not got that far within kDeadlineMs of being
//   accepted is closed.
// - Owns the descriptor (then the socket made on it) and the gate slot until
//   it hands both on; deletes itself when done.
class IncomingConnection : public QObject {
public:
    static constexpr int kDeadlineMs = 5000;

    // Takes the descriptor: closed with this object unless handed on.
    explicit IncomingConnection(qintptr descriptor);
    ~IncomingConnection() override;
    IncomingConnection(const IncomingConnection&) = delete;
    IncomingConnection& operator=(const IncomingConnection&) = delete;

    // The remote IPv4 address in host order, 0 when unknown.
    uint32_t peerAddress() const;
    // Starts looking; slot (made a child) goes wherever the socket goes.
    void start(WebServer& server, GateSlot* slot);

private:
    void peekFirstByte();
    void startTls();
    void startPlain();
    void readPlainHead();
    // Hands the descriptor to socket; false (descriptor still ours) on failure.
    bool adopt(QTcpSocket& socket);
    void drop();

    int descriptor_;
    std::unique_ptr<QSocketNotifier> notifier_;
    WebServer* server_ = nullptr;
    QPointer<QTcpSocket> socket_;
    GateSlot* slot_ = nullptr;
    QTimer deadline_;
};
