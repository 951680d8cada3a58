#pragma once

#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslServer>

#include <functional>

// A TLS server whose connections each get the configuration for the local
// address they reached, so a computer with several addresses shows each its own
// certificate. configurationFor runs on the server's thread, once per accepted
// connection and before its handshake; it gets a null address when the
// connection's cannot be read. An IPv4 address arrives as IPv4, also on a
// dual-stack socket.
//
// QSslServer's own startedEncryptionHandshake signal comes after the handshake
// has begun (Qt 6.4), too late to choose a certificate; hence this subclass.
class AddressedSslServer : public QSslServer {
public:
    using ConfigurationFor = std::function<QSslConfiguration(const QHostAddress& local)>;

    explicit AddressedSslServer(ConfigurationFor configurationFor, QObject* parent = nullptr)
        : QSslServer(parent), configurationFor_(std::move(configurationFor)) {}

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    ConfigurationFor configurationFor_;
};
