// What the benchmarks need of the outside world beyond the devkit (child
// processes, tone packets): a control connection and a datagram socket on
// loopback.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace benchio {

using Bytes = std::vector<uint8_t>;

// A TCP connection to a loopback port that speaks in lines.
class LineSocket {
public:
    LineSocket() = default;
    ~LineSocket();
    LineSocket(LineSocket&& other) noexcept;
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;

    // Retries while nothing listens yet, up to timeout.
    bool connect(uint16_t port, std::chrono::milliseconds timeout);
    bool send(const std::string& bytes);
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string pending_;
};

// Sends datagrams to a loopback port.
class DatagramSender {
public:
    explicit DatagramSender(uint16_t port);
    ~DatagramSender();
    DatagramSender(const DatagramSender&) = delete;
    DatagramSender& operator=(const DatagramSender&) = delete;
    bool send(const Bytes& datagram);

private:
    int fd_ = -1;
    uint16_t port_;
};

}  // namespace benchio
