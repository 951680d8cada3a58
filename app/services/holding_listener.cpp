#include "holding_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <avahi-common/timeval.h>

#include <cerrno>
#include <cstring>

namespace {

// A listening socket on port 0, IPv6 dual-stack when the system has IPv6.
int openListeningSocket(QString* error) {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        const int off = 0;
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0 &&
            ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 16) == 0)
            return fd;
        ::close(fd);
    }
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

}  // namespace

std::unique_ptr<HoldingListener> HoldingListener::open(const AvahiPoll* poll, QString* error,
                                                       std::chrono::milliseconds hold) {
    const int fd = openListeningSocket(error);
    if (fd < 0) return nullptr;
    const uint16_t port = boundPort(fd);
    std::unique_ptr<HoldingListener> listener(new HoldingListener(poll, fd, port, hold));
    if (port == 0 || !listener->watch_) {
        *error = QStringLiteral("the listening port could not be set up");
        return nullptr;
    }
    return listener;
}

HoldingListener::HoldingListener(const AvahiPoll* poll, int fd, uint16_t port, std::chrono::milliseconds hold)
    : poll_(poll), fd_(fd), port_(port), hold_(hold) {
    watch_ = poll_->watch_new(poll_, fd_, AVAHI_WATCH_IN, &HoldingListener::onReadable, this);
}

HoldingListener::~HoldingListener() {
    while (!held_.empty())
        release(held_.begin());
    if (pause_) poll_->timeout_free(pause_);
    if (watch_) poll_->watch_free(watch_);
    // The poll thread may still be inside poll() on this descriptor, which keeps
    // the socket alive after close(); shutdown() stops the listening at once.
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
}

void HoldingListener::onReadable(AvahiWatch*, int, AvahiWatchEvent, void* userdata) {
    static_cast<HoldingListener*>(userdata)->acceptAll();
}

void HoldingListener::acceptAll() {
    for (;;) {
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) pauseAccepting();  // e.g. out of descriptors
            return;
        }
        if (held_.size() >= kMaxHeld) {
            ::close(client);
            continue;
        }
        held_.push_back({client, nullptr, this});
        timeval when{};
        avahi_elapse_time(&when, static_cast<unsigned>(hold_.count()), 0);
        Held& entry = held_.back();
        entry.timeout = poll_->timeout_new(poll_, &when, &HoldingListener::onHoldOver, &entry);
        if (!entry.timeout) release(std::prev(held_.end()));
    }
}

// A pending connection that cannot be accepted keeps the socket readable: stop
// watching for a second instead of spinning.
void HoldingListener::pauseAccepting() {
    if (pause_) return;
    timeval when{};
    avahi_elapse_time(&when, kAcceptPauseMs, 0);
    pause_ = poll_->timeout_new(poll_, &when, &HoldingListener::onPauseOver, this);
    if (pause_) poll_->watch_update(watch_, static_cast<AvahiWatchEvent>(0));
}

void HoldingListener::onPauseOver(AvahiTimeout*, void* userdata) {
    auto* self = static_cast<HoldingListener*>(userdata);
    self->poll_->timeout_free(self->pause_);
    self->pause_ = nullptr;
    self->poll_->watch_update(self->watch_, AVAHI_WATCH_IN);
}

void HoldingListener::onHoldOver(AvahiTimeout*, void* userdata) {
    auto* entry = static_cast<Held*>(userdata);
    HoldingListener* self = entry->owner;
    for (auto it = self->held_.begin(); it != self->held_.end(); ++it) {
        if (&*it == entry) {
            self->release(it);
            return;
        }
    }
}

void HoldingListener::release(std::list<Held>::iterator it) {
    if (it->timeout) poll_->timeout_free(it->timeout);
    ::close(it->fd);
    held_.erase(it);
}
