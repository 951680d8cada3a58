#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "bare_decoder.h"

// The least any receiver can do, on a thread of the benchmark: wait up to 20 ms
// in select for a datagram on its own UDP port, receive it, decode its payload
// with libopus and copy the frames into a one-second buffer. No header check, no
// jitter buffer, no control server. Its latency and CPU time are the floor that
// the engine's are set against.
class BareReceiver {
public:
    BareReceiver();
    ~BareReceiver();
    BareReceiver(const BareReceiver&) = delete;
    BareReceiver& operator=(const BareReceiver&) = delete;

    bool ok() const { return fd_ >= 0 && port_ != 0; }
    uint16_t port() const { return port_; }
    // Frames decoded so far (960 per packet), published after the copy.
    uint64_t frames() const { return frames_.load(std::memory_order_acquire); }
    // CPU time of the receiving thread, in nanoseconds.
    int64_t cpuNs() const;
    // How often the receiving thread has gone to sleep so far.
    long wakeups() const;

private:
    void run();

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> frames_{0};
    std::atomic<long> tid_{0};
    BareDecoder decoder_;
    std::thread thread_;
};
