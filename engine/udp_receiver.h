#pragma once

#include <cstdint>

// Owns the IPv4 UDP socket on the audio port and hands out one datagram at a
// time, waiting a bounded time. Reports failures through results only.
class UdpReceiver {
public:
    UdpReceiver() = default;
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    // Binds the wildcard address on port (0: the system chooses). Closes any
    // previous socket first; a failed bind leaves the receiver closed.
    bool bind(uint16_t port);

    // Waits up to waitMs for one datagram and receives at most size bytes of it
    // (the rest of a longer datagram is lost). Returns its length, 0 for an empty
    // datagram, or -1 on time-out, interruption, error or a closed receiver.
    // When source is given it receives the sender's IPv4 address (network byte order).
    int recv(uint8_t* buffer, int size, uint32_t waitMs, uint32_t* source = nullptr);

    uint16_t boundPort() const { return port_; }

private:
    void closeSocket();

    int fd_ = -1;
    uint16_t port_ = 0;
};
