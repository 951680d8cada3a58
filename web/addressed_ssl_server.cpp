#include "addressed_ssl_server.h"

#include <sys/socket.h>

void AddressedSslServer::incomingConnection(qintptr descriptor) {
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    QHostAddress address;
    if (::getsockname(static_cast<int>(descriptor), reinterpret_cast<sockaddr*>(&local), &size) == 0) {
        address.setAddress(reinterpret_cast<const sockaddr*>(&local));
        bool isIPv4 = false;
        const quint32 ipv4 = address.toIPv4Address(&isIPv4);
        if (isIPv4) address.setAddress(ipv4);
    }
    // QSslServer copies its configuration into the socket it makes for this descriptor.
    setSslConfiguration(configurationFor_(address));
    QSslServer::incomingConnection(descriptor);
}
