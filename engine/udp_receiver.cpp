#include "udp_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

UdpReceiver::~UdpReceiver() {
    closeSocket();
}

void UdpReceiver::closeSocket() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool UdpReceiver::bind(uint16_t port) {
    if (fd_ >= 0) {
        closeSocket();
        port_ = 0;
    }
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) {
        fd_ = -1;
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        closeSocket();
        return false;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len) == 0) port_ = ntohs(bound.sin_port);
    return true;
}

int UdpReceiver::recv(uint8_t* buffer, int size, uint32_t waitMs, uint32_t* source) {
    if (fd_ < 0) return -1;
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(fd_, &readSet);
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(waitMs / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((waitMs % 1000) * 1000);
    if (select(fd_ + 1, &readSet, nullptr, nullptr, &timeout) <= 0) return -1;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n =
        recvfrom(fd_, buffer, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) return -1;
    if (source != nullptr) *source = from.sin_addr.s_addr;
    return static_cast<int>(n);
}
