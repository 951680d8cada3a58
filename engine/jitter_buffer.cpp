#include "jitter_buffer.h"

#include "sequence.h"

JitterBuffer::Push JitterBuffer::push(uint32_t seq, std::vector<uint8_t>&& payload) {
    if (started_ && seqIsEarlier(seq, nextSeq_)) return Push::Late;
    return packets_.try_emplace(seq, std::move(payload)).second ? Push::Stored : Push::Duplicate;
}

uint32_t JitterBuffer::earliestStored() const {
    uint32_t candidate = packets_.begin()->first;
    for (const auto& entry : packets_) {
        if (seqIsEarlier(entry.first, candidate)) candidate = entry.first;
    }
    return candidate;
}

// When nextSeq is missing and the nearest stored number lies more than
// kMaxLossReports ahead, the sender started a new stream: concealing the gap
// would only replay the old stream's tail and then silence, in one burst.
// Stored numbers are never behind nextSeq once started.
void JitterBuffer::skipJump() {
    if (packets_.count(nextSeq_) != 0) return;
    // The nearest stored number is the first at or above nextSeq, or, when the
    // stream wrapped through 0, the smallest one.
    auto it = packets_.lower_bound(nextSeq_);
    if (it == packets_.end()) it = packets_.begin();
    const uint32_t gap = seqDistance(nextSeq_, it->first);
    if (gap <= kMaxLossReports) return;
    nextSeq_ = it->first;
    newStream_ = true;
}

bool JitterBuffer::pop(std::vector<uint8_t>& out, bool& lost) {
    if (packets_.empty()) return false;
    if (!started_) {
        nextSeq_ = earliestStored();
        started_ = true;
    }
    if (!playing_ && static_cast<int64_t>(packets_.size()) < target_) return false;
    playing_ = true;

    newStream_ = false;
    skipJump();
    auto it = packets_.find(nextSeq_);
    if (it != packets_.end()) {
        out = std::move(it->second);
        packets_.erase(it);
        lost = false;
    } else {
        lost = true;
        out.clear();
    }
    ++nextSeq_;
    return true;
}
