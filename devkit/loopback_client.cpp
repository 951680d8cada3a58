#include "loopback_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace devkit {

namespace {
using Clock = std::chrono::steady_clock;

// Polls done() every few milliseconds until it holds or timeout passes.
template <class Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

sockaddr_in loopback(uint16_t port, const char* host = "127.0.0.1") {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, host, &addr.sin_addr);
    return addr;
}

// A socket bound to the local address from (nullptr: any), as a phone's host.
int openSocket(int type, const char* from) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (from != nullptr) {
        const sockaddr_in local = loopback(0, from);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }
    return fd;
}
}  // namespace

TcpClient::~TcpClient() {
    close();
}

TcpClient::TcpClient(TcpClient&& other) noexcept : fd_(other.fd_), pending_(std::move(other.pending_)) {
    other.fd_ = -1;
}

void TcpClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

bool TcpClient::connect(uint16_t port, const char* host, const char* from) {
    close();
    fd_ = openSocket(SOCK_STREAM, from);
    // A listener that stops accepting drops SYNs, and the kernel's retries would
    // block for two minutes.
    timeval limit{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const sockaddr_in addr = loopback(port, host);
    const int connected = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    limit = {};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connected == 0) return true;
    close();
    return false;
}

bool TcpClient::connectWithin(uint16_t port, std::chrono::milliseconds timeout) {
    return waitFor([&] { return connect(port); }, timeout);
}

bool TcpClient::send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int TcpClient::receive(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&p, 1, timeoutMs) < 0) return -1;
    if (p.revents == 0) return 0;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return -1;
    pending_.append(buf, static_cast<size_t>(n));
    return 1;
}

std::optional<std::string> TcpClient::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (pending_.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || receive(static_cast<int>(left.count())) <= 0) return std::nullopt;
    }
    const size_t lf = pending_.find('\n');
    std::string line = pending_.substr(0, lf);
    pending_.erase(0, lf + 1);
    return line;
}

bool TcpClient::closedByPeer(std::chrono::milliseconds timeout) {
    const int step = static_cast<int>(std::min<long>(20, timeout.count()));  // 0: one look, no wait
    return waitFor([&] { return receive(step) < 0; }, timeout);
}

void TcpClient::reset() {
    if (fd_ < 0) return;
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

UdpSender::UdpSender(uint16_t port, const char* from) : fd_(openSocket(SOCK_DGRAM, from)), port_(port) {}

UdpSender::~UdpSender() {
    if (fd_ >= 0) ::close(fd_);
}

bool UdpSender::send(const std::vector<uint8_t>& datagram) {
    const sockaddr_in addr = loopback(port_);
    return ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&addr),
                    sizeof addr) == static_cast<ssize_t>(datagram.size());
}

}  // namespace devkit
