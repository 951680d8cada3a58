#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>

// Interarrival jitter as RTP receivers report it (RFC 3550, 6.4.1): for two
// packets in arrival order, D is how much longer the second took to arrive
// than the first, and the estimate moves a sixteenth of the way towards |D|
// with each packet. Senders' clocks need not match ours: only differences of
// transit times count. The engine and the gateway report it in their statistics.
class ArrivalJitter {
public:
    // sentUs: the packet's place in the stream on the sender's clock (e.g. its
    // number times its duration); arrivedUs: when it arrived on ours.
    void add(int64_t sentUs, int64_t arrivedUs) {
        const int64_t transit = arrivedUs - sentUs;
        if (lastTransit_)
            jitterUs_ += (static_cast<double>(std::llabs(transit - *lastTransit_)) - jitterUs_) / 16.0;
        lastTransit_ = transit;
    }
    void reset() { *this = ArrivalJitter(); }
    double us() const { return jitterUs_; }

private:
    std::optional<int64_t> lastTransit_;
    double jitterUs_ = 0;
};
