#include "control_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "control_line.h"

namespace {

const std::string kHelloOkLine = std::string(ControlLine::kHelloOk) + "\n";
const std::string kHelloErrLine = std::string(ControlLine::kHelloErr) + "\n";
constexpr size_t kChunk = 1024;

bool setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

ControlServer::~ControlServer() {
    for (ClientSlot& slot : clients_) {
        if (slot.fd >= 0) close(slot.fd);
    }
    if (listenFd_ >= 0) close(listenFd_);
}

bool ControlServer::start(uint16_t port) {
    if (listenFd_ >= 0) return false;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (!setNonBlocking(fd) || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 4) != 0) {
        close(fd);
        return false;
    }
    listenFd_ = fd;
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == 0) port_ = ntohs(bound.sin_port);
    return true;
}

bool ControlServer::admitsAudioFrom(uint32_t address) const {
    if (pin_.empty()) return true;
    for (const ClientSlot& slot : clients_) {
        if (slot.fd >= 0 && slot.authed && slot.peer == address) return true;
    }
    return false;
}

bool ControlServer::hasAuthedClient() const {
    if (pin_.empty()) return true;
    for (const ClientSlot& slot : clients_) {
        if (slot.fd >= 0 && slot.authed) return true;
    }
    return false;
}

std::optional<std::string> ControlServer::poll() {
    const Readiness ready = readiness();
    if (ready.listener) acceptClients();
    readClients(ready);
    closeSilentConnections();
    if (queueHead_ == queueTail_) return std::nullopt;
    std::string line = std::move(queue_[static_cast<size_t>(queueHead_)]);
    queue_[static_cast<size_t>(queueHead_)] = std::string();
    queueHead_ = (queueHead_ + 1) % kQueueSlots;
    return line;
}

// An accept on an empty queue is not cheap (the kernel sets up a socket before
// it finds the queue empty), and neither is a receive per idle connection; one
// poll() with no wait tells which of them would find something. When poll()
// itself fails, every socket is tried as before.
ControlServer::Readiness ControlServer::readiness() const {
    std::array<pollfd, 1 + kMaxClients> fds{};
    fds[0] = {listenFd_, POLLIN, 0};
    Readiness ready;
    for (size_t i = 0; i < clients_.size(); ++i) {
        fds[i + 1] = {clients_[i].fd, POLLIN, 0};
        ready.fds[i] = clients_[i].fd;
    }
    if (::poll(fds.data(), fds.size(), 0) < 0) {
        ready.clients.fill(true);
        return ready;
    }
    ready.listener = fds[0].revents != 0;
    for (size_t i = 0; i < clients_.size(); ++i)
        ready.clients[i] = fds[i + 1].revents != 0;
    return ready;
}

void ControlServer::acceptClients() {
    if (listenFd_ < 0) return;
    for (;;) {
        sockaddr_in peer{};
        socklen_t peerLen = sizeof peer;
        const int fd = accept(listenFd_, reinterpret_cast<sockaddr*>(&peer), &peerLen);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (clientCount_ >= kMaxClients) {
            close(fd);
            continue;
        }
        setNonBlocking(fd);
#ifdef SO_NOSIGPIPE
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
        for (ClientSlot& slot : clients_) {
            if (slot.fd < 0) {
                slot.fd = fd;
                slot.input.clear();
                slot.authed = false;
                slot.peer = peer.sin_addr.s_addr;
                slot.acceptedAt = clock_();
                ++clientCount_;
                break;
            }
        }
    }
}

void ControlServer::closeSilentConnections() {
    if (pin_.empty()) return;
    const TimePoint now = clock_();
    for (ClientSlot& slot : clients_) {
        if (slot.fd >= 0 && !slot.authed && now - slot.acceptedAt >= kHelloTimeout) closeSlot(slot);
    }
}

void ControlServer::closeSlot(ClientSlot& slot) {
    close(slot.fd);
    slot.fd = -1;
    slot.input.clear();
    slot.authed = false;
    --clientCount_;
}

void ControlServer::readClients(const Readiness& ready) {
    char chunk[kChunk];
    for (size_t i = 0; i < clients_.size(); ++i) {
        ClientSlot& slot = clients_[i];
        if (!ready.clients[i] && slot.fd == ready.fds[i]) continue;
        while (slot.fd >= 0) {
            const ssize_t n = recv(slot.fd, chunk, sizeof chunk, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0 || !slot.input.append(chunk, static_cast<size_t>(n))) {
                closeSlot(slot);
                break;
            }
            while (slot.fd >= 0) {
                std::optional<std::string> line = slot.input.next();
                if (!line) break;
                dispatch(slot, std::move(*line));
            }
        }
    }
}

ControlServer::Action ControlServer::decide(std::string_view line, std::string_view pin, bool authed) {
    if (ControlLine::isPing(line)) return Action::Echo;
    if (ControlLine::isHello(line))
        return pin.empty() || ControlLine::helloCarries(line, pin) ? Action::HelloOk : Action::HelloErr;
    return pin.empty() || authed ? Action::Queue : Action::Drop;
}

void ControlServer::dispatch(ClientSlot& slot, std::string&& line) {
    Action action = decide(line, pin_, slot.authed);
    if (action == Action::HelloOk && !pin_.empty() && helloGuard_.isBlocked(slot.peer, clock_())) {
        action = Action::HelloErr;
    }
    switch (action) {
        case Action::Echo:
            line.push_back('\n');
            writeToClient(slot.fd, line);
            break;
        case Action::HelloOk:
            slot.authed = true;
            ++hellosPassed_;
            writeToClient(slot.fd, kHelloOkLine);
            break;
        case Action::HelloErr:
            helloGuard_.recordFailure(slot.peer, clock_());
            writeToClient(slot.fd, kHelloErrLine);
            closeSlot(slot);
            break;
        case Action::Queue:
            enqueue(std::move(line));
            break;
        case Action::Drop:
            break;
    }
}

bool ControlServer::enqueue(std::string&& line) {
    if ((queueTail_ + 1) % kQueueSlots == queueHead_) return false;
    queue_[static_cast<size_t>(queueTail_)] = std::move(line);
    queueTail_ = (queueTail_ + 1) % kQueueSlots;
    return true;
}

// Linux has no SO_NOSIGPIPE: MSG_NOSIGNAL keeps a peer that reset its connection
// from killing the engine with SIGPIPE.
void ControlServer::writeToClient(int fd, std::string_view text) {
    if (fd < 0) return;
#ifdef MSG_NOSIGNAL
    constexpr int kFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
    constexpr int kFlags = MSG_DONTWAIT;
#endif
    (void)send(fd, text.data(), text.size(), kFlags);
}
