#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devkit {

// A blocking TCP client on loopback that speaks in lines (the control server's
// way), and can misbehave on purpose: reset, half-open, from another address.
class TcpClient {
public:
    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;
    TcpClient(TcpClient&& other) noexcept;

    // from: the local address to connect from (any loopback address works).
    // Gives up after 2 s.
    bool connect(uint16_t port, const char* host = "127.0.0.1", const char* from = nullptr);
    // Retries until the server listens or the timeout passes.
    bool connectWithin(uint16_t port, std::chrono::milliseconds timeout);
    bool send(const std::string& bytes);
    // The next line without its LF; nullopt on timeout or close.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // True when the server closed the connection within timeout (EOF or reset);
    // a timeout of 0 looks once without waiting.
    bool closedByPeer(std::chrono::milliseconds timeout);
    // Closes with an RST instead of a FIN.
    void reset();
    void close();
    int fd() const { return fd_; }

private:
    // Waits up to timeoutMs for bytes and keeps them: 1 bytes came, 0 none, -1 closed.
    int receive(int timeoutMs);

    int fd_ = -1;
    std::string pending_;
};

// Sends datagrams to a loopback port.
class UdpSender {
public:
    explicit UdpSender(uint16_t port, const char* from = nullptr);
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;
    bool send(const std::vector<uint8_t>& datagram);

private:
    int fd_ = -1;
    uint16_t port_;
};

}  // namespace devkit
