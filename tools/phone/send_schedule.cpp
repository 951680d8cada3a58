#include "send_schedule.h"

namespace {
// Copies and held-back packets trail their neighbours by a few packets at most;
// this window is generous for any jitter a test would use.
constexpr uint64_t kTrackedPackets = 4096;
}  // namespace

void SendSchedule::add(Transmission t) {
    t.order = nextOrder_++;
    queue_.push(std::move(t));
}

std::optional<int64_t> SendSchedule::nextDueNs() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.top().dueNs;
}

Transmission SendSchedule::take() {
    Transmission t = queue_.top();
    queue_.pop();
    if (t.lost) return t;

    if (!sentRecently_.insert(t.packetIndex).second) {
        ++duplicated_;
    } else if (highestSent_ && t.packetIndex < *highestSent_) {
        ++reordered_;
    }
    if (!highestSent_ || t.packetIndex > *highestSent_) highestSent_ = t.packetIndex;
    while (!sentRecently_.empty() && *sentRecently_.begin() + kTrackedPackets < *highestSent_) {
        sentRecently_.erase(sentRecently_.begin());
    }
    return t;
}
