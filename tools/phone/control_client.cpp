#include "control_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

ControlClient::~ControlClient() {
    close();
}

void ControlClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

bool ControlClient::connect(const sockaddr_in& address, std::chrono::milliseconds timeout,
                            std::string& error) {
    close();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // A non-blocking connect bounds the wait for a host that does not answer.
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
        if (rc == 0) {
            ::close(fd);
            error = "no answer";
            return false;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        errno = soError;
        rc = soError == 0 ? 0 : -1;
    }
    if (rc != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool ControlClient::sendLine(std::string_view text) {
    if (fd_ < 0) return false;
    std::string line(text);
    line.push_back('\n');
    size_t done = 0;
    // Control lines are tiny; a full send buffer is waited out briefly.
    while (done < line.size()) {
        const ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
        } else {
            return false;
        }
    }
    return true;
}

ControlClient::Input ControlClient::readLines(std::vector<std::string>& lines) {
    if (fd_ < 0) return Input::Closed;
    char buffer[1024];
    Input state = Input::Open;
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            pending_.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) state = Input::Closed;
        break;
    }
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        std::string line = pending_.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        pending_.erase(0, end + 1);
    }
    if (state == Input::Closed) close();
    return state;
}
