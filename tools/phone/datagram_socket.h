#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Resolves a host name or dotted address to an IPv4 address (nullopt, with
// error, when it does not resolve).
std::optional<in_addr> resolveIPv4(const std::string& host, std::string& error);

// The phone's UDP socket, connected to the engine's audio port. Owns its socket.
class DatagramSocket {
public:
    DatagramSocket() = default;
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Replaces any socket opened before.
    bool open(const sockaddr_in& destination, std::string& error);
    bool isOpen() const { return fd_ >= 0; }
    // False when the system refused the datagram. A refusal because nothing
    // listens on the port (while the engine restarts) is not an error here.
    bool send(const std::vector<uint8_t>& datagram);

private:
    int fd_ = -1;
};
