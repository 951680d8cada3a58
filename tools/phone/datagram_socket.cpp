#include "datagram_socket.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::optional<in_addr> resolveIPv4(const std::string& host, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        error = host + ": " + gai_strerror(rc);
        return std::nullopt;
    }
    const in_addr address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return address;
}

DatagramSocket::~DatagramSocket() {
    if (fd_ >= 0) ::close(fd_);
}

bool DatagramSocket::open(const sockaddr_in& destination, std::string& error) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) != 0) {
        error = std::string("cannot open the audio socket: ") + std::strerror(errno);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool DatagramSocket::send(const std::vector<uint8_t>& datagram) {
    for (;;) {
        const ssize_t n = ::send(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL);
        if (n >= 0) return true;
        if (errno == EINTR) continue;
        return errno == ECONNREFUSED;
    }
}
