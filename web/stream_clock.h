#pragma once

#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "playout_buffer.h"

// The stream's steady 20 ms clock: each tick takes a chunk from the playout
// buffer and hands it on as one of the engine's audio datagrams. With a depth
// of 0 (the low latency choice) each chunk leaves as it arrives and the
// engine's jitter buffer evens it out. Datagrams are
// numbered from the wall clock at the first stream, then on from stream to
// stream, so a stream never falls below what an engine has already played.
// Main thread only.
class StreamClock {
public:
    // The datagram, its sequence number and the page's chunk it carries (none
    // for a lost packet).
    using Sink = std::function<void(const std::vector<uint8_t>& datagram, uint32_t sequence,
                                    std::optional<uint64_t> chunk)>;

    explicit StreamClock(Sink sink);

    // A new stream with an empty playout buffer of at most maxDepth chunks (0:
    // none, chunks leave as they arrive).
    void start(int maxDepth);
    // Ends the stream; returns how its playout went, for the operator.
    QString stop();
    bool running() const { return playout_.has_value(); }
    // The running stream's playout buffer, for its statistics.
    const PlayoutBuffer* playout() const { return playout_ ? &*playout_ : nullptr; }

    // Dropped when no stream runs.
    void push(PlayoutBuffer::Chunk chunk, PlayoutBuffer::Clock::time_point arrival);
    void setMaxDepth(int chunks);

private:
    void tick();
    void send(const std::vector<uint8_t>& bytes, std::optional<uint64_t> chunk);

    Sink sink_;
    QTimer timer_;
    std::optional<PlayoutBuffer> playout_;
    bool forwarding_ = false;
    std::optional<uint32_t> sequence_;  // the next datagram's number
    uint32_t frames_ = 0;
    PlayoutBuffer::Clock::time_point nextTick_{};
};
