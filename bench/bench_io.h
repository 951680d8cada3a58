// What the benchmarks need of the outside world, kept apart from the tests'
// code: a child process, a control connection, a datagram socket on loopback
// and a tone encoded as a phone would send it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace benchio {

using Bytes = std::vector<uint8_t>;

// A program with its standard output and error read through one pipe, and
// input (at most 64 KiB) on its standard input, which then ends; killed and
// reaped by the destructor if it still runs.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args, const std::string& input = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig);
    // Exit status (128 + signal when killed); nullopt when still running after timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    const std::string& output() const { return output_; }

private:
    bool pump(int timeoutMs);

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string output_;
    std::optional<int> status_;
};

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

// count 20 ms Opus packets of a 440/660 Hz stereo tone (libopus, 96 kbit/s).
std::vector<Bytes> encodeTone(int count);
// An audio datagram: the engine's header with this number, then the payload.
Bytes datagram(uint32_t sequence, const Bytes& payload);

}  // namespace benchio
