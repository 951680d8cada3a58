#pragma once

#include <cstdint>
#include <optional>
#include <queue>
#include <set>
#include <vector>

// One datagram waiting for its send time, or the mark of a packet the simulated
// network lost (kept in the schedule so a dump lists it where it would have gone).
struct Transmission {
    int64_t dueNs = 0;   // stream time: nanoseconds since the stream's start
    uint64_t order = 0;  // tie-break: earlier scheduled goes first
    uint64_t packetIndex = 0;
    uint32_t sequence = 0;
    bool lost = false;
    std::vector<uint8_t> datagram;
};

// Transmissions in the order they go out: by due time, then by when they were
// scheduled. Deterministic, so a seed reproduces the wire order exactly.
// Counts, as they go out: packets overtaken by a later one (reordered) and
// second copies (duplicated).
class SendSchedule {
public:
    void add(Transmission t);
    bool empty() const { return queue_.empty(); }
    std::optional<int64_t> nextDueNs() const;
    Transmission take();

    uint64_t reordered() const { return reordered_; }
    uint64_t duplicated() const { return duplicated_; }
    uint64_t size() const { return queue_.size(); }

private:
    struct Later {
        bool operator()(const Transmission& a, const Transmission& b) const {
            return a.dueNs != b.dueNs ? a.dueNs > b.dueNs : a.order > b.order;
        }
    };

    std::priority_queue<Transmission, std::vector<Transmission>, Later> queue_;
    uint64_t nextOrder_ = 0;
    std::optional<uint64_t> highestSent_;
    std::set<uint64_t> sentRecently_;  // packets already sent once, near the newest
    uint64_t reordered_ = 0;
    uint64_t duplicated_ = 0;
};
