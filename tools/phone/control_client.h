#pragma once

#include <netinet/in.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

// The phone's TCP connection to the engine's control port: connects with a
// time limit, sends lines, and collects the lines that come back without
// blocking. Owns its socket.
class ControlClient {
public:
    enum class Input { Open, Closed };

    ControlClient() = default;
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // False when nothing accepted the connection within timeout (error says why).
    bool connect(const sockaddr_in& address, std::chrono::milliseconds timeout, std::string& error);
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Sends text followed by a line feed; false when the connection is gone.
    bool sendLine(std::string_view text);

    // Moves every complete line received so far (without its line end) to lines.
    // Closed once the engine has closed the connection or it broke.
    Input readLines(std::vector<std::string>& lines);

    void close();

private:
    int fd_ = -1;
    std::string pending_;
};
