#include "notify_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

NotifySocket::NotifySocket() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
    if (std::strlen(path) >= sizeof(sockaddr_un::sun_path)) return;
    address_ = path;
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

NotifySocket::~NotifySocket() {
    if (fd_ >= 0) close(fd_);
}

void NotifySocket::send(const std::string& message) {
    if (fd_ < 0) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, address_.data(), address_.size());
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr),
           length);
}
