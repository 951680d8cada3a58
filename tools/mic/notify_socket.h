#pragma once

#include <string>

// Tells the service manager about readiness and status when it asked for it
// ($NOTIFY_SOCKET, a user service of type notify); does nothing otherwise.
class NotifySocket {
public:
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool enabled() const { return fd_ >= 0; }
    // One message, e.g. "READY=1" or "STATUS=...".
    void send(const std::string& message);

private:
    int fd_ = -1;
    std::string address_;
};
